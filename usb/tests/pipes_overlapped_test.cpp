// Overlapped bulk transfers: they pend until the device answers, complete on another thread,
// and end early when their pipe is aborted, their time-out runs out or the device goes.
#include <chrono>
#include <thread>

#include "pipes_host.h"

namespace {

// A manual-reset event that the OVERLAPPED record signals.
class Overlapped {
public:
    Overlapped() { record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(record.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Signalled() const { return WaitForSingleObject(record.hEvent, 0) == WAIT_OBJECT_0; }
    OVERLAPPED record{};
};

class OverlappedPipes : public PipeHostTest {
protected:
    void SetUp() override {
        PipeHostTest::SetUp();
        handle_ = OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81), Pipe(kBulk, 0x82)}, &device_);
    }
    void TearDown() override {
        EXPECT_EQ(0u, SimWorld_PendingTransfers(device_)) << "a transfer was left pending";
        PipeHostTest::TearDown();
    }
    uint32_t StartRead(uint8_t pipeId, Overlapped& ov, uint8_t* buffer, uint32_t length) {
        uint32_t started = 0xFFFF;
        return api().PipeRead(handle_, pipeId, buffer, length, &started, &ov.record);
    }
    uint32_t Result(Overlapped& ov, uint32_t& count, bool wait) {
        return lwu().GetPipeOverlappedResult(handle_, &ov.record, &count, wait ? TRUE : FALSE);
    }
    StdoutCapture quiet_;   // the per-transfer lines are not what these tests look at
    void* handle_ = nullptr;
    int device_ = 0;
};

TEST_F(OverlappedPipes, ReadPendsUntilTheDeviceHasDataAndCompletesOnAnotherThread) {
    Overlapped ov;
    SetEvent(ov.record.hEvent);
    uint8_t buffer[64] = {};
    EXPECT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), StartRead(0x81, ov, buffer, sizeof buffer));
    EXPECT_FALSE(ov.Signalled()) << "starting the transfer resets its event";
    uint32_t count = 77;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_IO_INCOMPLETE), Result(ov, count, false));
    EXPECT_EQ(77u, count) << "nothing is reported while pending";
    {
        // The data arrives while this thread is blocked in the wait.
        Later arrive(50, [this] { SimWorld_QueueMessage(device_, "hello", 5); });
        EXPECT_EQ(0u, Result(ov, count, true));
    }
    EXPECT_EQ(5u, count);
    EXPECT_EQ(0, std::memcmp(buffer, "hello", 5));
    EXPECT_TRUE(ov.Signalled());
    EXPECT_EQ(0u, Result(ov, count, false)) << "a completed result can be read again";
}

TEST_F(OverlappedPipes, AbortEndsThePipesPendingReadsWithOperationAborted) {
    Overlapped first, second, other;
    uint8_t a[8], b[8], c[8];
    ASSERT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), StartRead(0x81, first, a, sizeof a));
    ASSERT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), StartRead(0x81, second, b, sizeof b));
    ASSERT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), StartRead(0x82, other, c, sizeof c));
    EXPECT_EQ(3u, SimWorld_PendingTransfers(device_));

    EXPECT_EQ(0u, lwu().PipeAbort(handle_, 0x81));
    EXPECT_TRUE(first.Signalled()) << "aborting is synchronous";
    EXPECT_TRUE(second.Signalled());
    uint32_t count = 9;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_OPERATION_ABORTED), Result(first, count, false));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_OPERATION_ABORTED), Result(second, count, true));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_IO_INCOMPLETE), Result(other, count, false)) << "another pipe keeps its transfer";

    EXPECT_EQ(0u, lwu().PipeAbort(handle_, 0x82));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_OPERATION_ABORTED), Result(other, count, true));
}

TEST_F(OverlappedPipes, TransferTimeoutEndsAPendingRead) {
    ASSERT_EQ(0u, lwu().SetTransferTimeoutPolicy(handle_, 0x81, 60));
    Overlapped ov;
    uint8_t buffer[8];
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), StartRead(0x81, ov, buffer, sizeof buffer));
    uint32_t count = 5;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SEM_TIMEOUT), Result(ov, count, true));
    EXPECT_EQ(0u, count);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
}

TEST_F(OverlappedPipes, RemovalEndsAPendingRead) {
    Overlapped ov;
    uint8_t buffer[8];
    ASSERT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), StartRead(0x81, ov, buffer, sizeof buffer));
    uint32_t count = 0;
    {
        Later unplug(20, [this] { SimWorld_RemoveDevice(device_); });
        EXPECT_EQ(static_cast<uint32_t>(ERROR_OPERATION_ABORTED), Result(ov, count, true)) << "cancelled";
    }
}

TEST_F(OverlappedPipes, WriteCompletesWithItsCount) {
    Overlapped ov;
    const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    uint32_t started = 99;
    ASSERT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), api().PipeWrite(handle_, 0x01, data, 6, &started, &ov.record));
    EXPECT_EQ(0u, started) << "nothing is moved yet when the call returns";
    uint32_t count = 0;
    EXPECT_EQ(0u, Result(ov, count, true));
    EXPECT_EQ(6u, count);
    uint8_t received[6] = {};
    EXPECT_EQ(6u, SimWorld_GetReceived(device_, 0, received, sizeof received));
    EXPECT_EQ(0, std::memcmp(received, data, 6));
}

TEST_F(OverlappedPipes, ATransferThatFinishesAtOnceSucceedsAndTheOverlappedResultGivesItsCount) {
    struct Row {
        const char* what;
        bool write;
        bool countPointer;
    } const rows[] = {
        {"PipeWrite with a count pointer", true, true},
        {"PipeWrite without one", true, false},
        {"PipeRead with a count pointer", false, true},
        {"PipeRead without one", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimWorld_CompleteAtOnce(device_, row.write ? SIM_OP_WRITE_PIPE : SIM_OP_READ_PIPE, 1);
        if (!row.write) SimWorld_QueueMessage(device_, "ABCDEF", 6);
        Overlapped ov;
        uint8_t buffer[6] = {1, 2, 3, 4, 5, 6};
        uint32_t started = 99;
        uint32_t* count = row.countPointer ? &started : nullptr;
        uint32_t status = row.write ? api().PipeWrite(handle_, 0x01, buffer, 6, count, &ov.record)
                                    : api().PipeRead(handle_, 0x81, buffer, 6, count, &ov.record);
        EXPECT_EQ(0u, status) << "no short transfer is judged from the count WinUSB leaves beside an OVERLAPPED";
        EXPECT_TRUE(ov.Signalled());
        uint32_t moved = 0;
        EXPECT_EQ(0u, Result(ov, moved, false));
        EXPECT_EQ(6u, moved);
    }
}

}  // namespace
