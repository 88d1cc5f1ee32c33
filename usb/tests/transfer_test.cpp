// Framed messages, control and bulk transfers as the device sees them, with their status codes
// and the diagnostic lines on standard output.
#include <atomic>
#include <cstdio>
#include <algorithm>
#include <functional>

#include "import_patch.h"
#include "usb_host.h"

namespace {

using Trace = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

Bytes Received(int device, uint32_t index) {
    Bytes b(SimWorld_GetReceived(device, index, nullptr, 0));
    SimWorld_GetReceived(device, index, b.data(), static_cast<uint32_t>(b.size()));
    return b;
}

class Framing : public UsbHostTest {};

TEST_F(Framing, WriteFramesEachProtocolVersionAsTheDeviceSeesIt) {
    const Trace expected[] = {
        {"Control 41/80", "WritePipe", "ResetPipe", "Control 41/86"},
        {"Control 41/85", "WritePipe", "ResetPipe"},
        {"WritePipe", "ResetPipe"},
    };
    for (uint8_t version = 0; version <= 2; ++version) {
        int device = 0;
        void* h = OpenFresh(version, &device);
        Bytes msg = Pattern(300, version);
        StdoutCapture out;
        EXPECT_EQ(1u, api().Write(h, 0x01, msg.data(), 300)) << "version " << int(version);
        EXPECT_EQ(expected[version], CallTrace()) << "version " << int(version);
        EXPECT_EQ(msg, Received(device, 0));
        EXPECT_EQ("Wrote to pipe 1: 300 bytes\nActual data transferred: 300.\n", out.Text());
        if (version == 1) {
            auto calls = RecordedCalls();
            EXPECT_EQ((Bytes{0x2C, 0x01, 0x00, 0x00}), calls[0].payload()) << "length as 4 little-endian bytes";
            EXPECT_EQ(4, calls[0].length());
        }
        api().CloseDevice(&session_);
    }
}

TEST_F(Framing, WriteWithVersionThreeOrMoreSendsNothing) {
    for (uint8_t version : {3, 200, 255}) {
        void* h = OpenFresh(version);
        uint8_t msg[4] = {1, 2, 3, 4};
        EXPECT_EQ(0u, api().Write(h, 0x01, msg, 4));
        EXPECT_EQ(0u, SimWorld_CallCount());
        api().CloseDevice(&session_);
    }
}

TEST_F(Framing, ReadFramesEachProtocolVersionAndCopiesTheMessage) {
    for (uint8_t version : {0, 1, 2, 7}) {
        int device = 0;
        void* h = OpenFresh(version, &device);
        Bytes msg = Pattern(1000, version);
        SimWorld_QueueMessage(device, msg.data(), 1000);
        Bytes dest(LWU_MAX_MESSAGE, 0xEE);
        uint32_t length = 5;
        StdoutCapture out;
        EXPECT_EQ(LWU_READ_OK, api().Read(h, 0x81, dest.data(), &length));
        EXPECT_EQ(1000u, length);
        EXPECT_TRUE(std::equal(msg.begin(), msg.end(), dest.begin()));
        EXPECT_EQ(0xEE, dest[1000]) << "nothing beyond the announced length";
        Trace want = version == 0 ? Trace{"Control C1/82", "Control C1/84", "ReadPipe", "ResetPipe"}
                                  : Trace{"Control C1/84", "ReadPipe", "ResetPipe"};
        EXPECT_EQ(want, CallTrace()) << "version " << int(version);
        EXPECT_EQ(1000u, RecordedCalls()[want.size() - 2].call.args[3]) << "bulk IN asks for the announced length";
        api().CloseDevice(&session_);
    }
}

TEST_F(Framing, EchoRoundTripWithNullDestinationAndLength) {
    int device = 0;
    void* h = OpenFresh(2, &device, true);
    Bytes msg = Pattern(64);
    ASSERT_EQ(1u, api().Write(h, 0x01, msg.data(), 64));
    EXPECT_EQ(LWU_READ_OK, api().Read(h, 0x81, nullptr, nullptr)) << "message received and dropped";
    EXPECT_EQ(0u, SimWorld_PendingCount(device));
}

TEST_F(Framing, ReadStatusByteOutOfRangeFailsBeforeTheLength) {
    int device = 0;
    void* h = OpenFresh(0, &device);
    for (uint8_t status : {0, 1, 2}) {
        SimWorld_SetStatusByte(device, status);
        EXPECT_EQ(LWU_READ_EMPTY, api().Read(h, 0x81, nullptr, nullptr)) << int(status);
    }
    SimWorld_ClearCalls();
    SimWorld_SetStatusByte(device, 3);
    uint32_t length = 9;
    EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, nullptr, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ((Trace{"Control C1/82"}), CallTrace());
}

TEST_F(Framing, ReadFailuresOfTheFramingRequests) {
    int device = 0;
    void* h = OpenFresh(0, &device);
    Bytes dest(16, 0xAA);
    uint32_t length = 3;
    SimWorld_Stall(device, SIM_OP_CONTROL_TRANSFER, 0x82, 1);
    EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, dest.data(), &length));
    SimWorld_ShortTransfer(device, SIM_OP_CONTROL_TRANSFER, 0x82, 0, 1);
    EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, dest.data(), &length)) << "a short status request fails";
    SimWorld_FailCall(device, SIM_OP_CONTROL_TRANSFER, 0x84, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, dest.data(), &length));
    SimWorld_ShortTransfer(device, SIM_OP_CONTROL_TRANSFER, 0x84, 2, 1);
    EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, dest.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(Bytes(16, 0xAA), dest);
}

TEST_F(Framing, ReadLengthBounds) {
    int device = 0;
    void* h = OpenFresh(2, &device);
    Bytes dest(LWU_MAX_MESSAGE + 16, 0);
    uint32_t length = 1;

    EXPECT_EQ(LWU_READ_EMPTY, api().Read(h, 0x81, dest.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ((Trace{"Control C1/84"}), CallTrace());

    Bytes big = Pattern(LWU_MAX_MESSAGE, 3);
    SimWorld_QueueMessage(device, big.data(), LWU_MAX_MESSAGE);
    {
        StdoutCapture out;
        EXPECT_EQ(LWU_READ_OK, api().Read(h, 0x81, dest.data(), &length));
    }
    EXPECT_EQ(LWU_MAX_MESSAGE, length);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), dest.begin()));

    SimWorld_ClearCalls();
    SimWorld_AnnounceLength(device, LWU_MAX_MESSAGE + 1);
    EXPECT_EQ(LWU_READ_TOO_LONG, api().Read(h, 0x81, dest.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ((Trace{"Control C1/84"}), CallTrace()) << "no bulk transfer for a message that is too long";
}

TEST_F(Framing, ShortBulkTransfersFailInBothDirections) {
    int device = 0;
    void* h = OpenFresh(0, &device);
    Bytes msg = Pattern(100);
    SimWorld_QueueMessage(device, msg.data(), 100);
    SimWorld_ShortTransfer(device, SIM_OP_READ_PIPE, SIM_ANY, 60, 1);
    Bytes dest(200, 0x55);
    uint32_t length = 9;
    {
        StdoutCapture out;
        EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, dest.data(), &length));
    }
    EXPECT_EQ(0u, length);
    EXPECT_EQ(Bytes(200, 0x55), dest) << "the destination stays untouched";

    SimWorld_ClearCalls();
    SimWorld_ShortTransfer(device, SIM_OP_WRITE_PIPE, SIM_ANY, 10, 1);
    StdoutCapture out;
    EXPECT_EQ(0u, api().Write(h, 0x01, msg.data(), 100));
    EXPECT_EQ((Trace{"Control 41/80", "WritePipe", "ResetPipe"}), CallTrace()) << "no 0x86 after a failed transfer";
    EXPECT_EQ("Wrote to pipe 1: 100 bytes\nActual data transferred: 10.\n", out.Text());
}

TEST_F(Framing, WriteFailsWhenAFramingRequestFails) {
    int device = 0;
    void* h = OpenFresh(0, &device);
    uint8_t msg[2] = {1, 2};
    SimWorld_Stall(device, SIM_OP_CONTROL_TRANSFER, 0x80, 1);
    EXPECT_EQ(0u, api().Write(h, 0x01, msg, 2));
    EXPECT_EQ((Trace{"Control 41/80"}), CallTrace());
    SimWorld_Stall(device, SIM_OP_CONTROL_TRANSFER, 0x86, 1);
    StdoutCapture out;
    EXPECT_EQ(0u, api().Write(h, 0x01, msg, 2)) << "the closing request decides";
    EXPECT_EQ(1u, SimWorld_ReceivedCount(device));
}

class Transfers : public UsbHostTest {};

// PipeRead, PipeWrite, Read and Write reset the pipe after every bulk transfer and ignore the
// reset's result: a failing reset changes nothing of what the transfer gave, and a stall it
// did not clear makes the next transfer fail.
TEST_F(Transfers, AFailingResetAfterABulkTransferLeavesTheTransfersOutcome) {
    struct Row {
        const char* what;
        bool write;
        std::function<uint32_t(LinkWinUsbApi&, void*)> transfer;
        uint32_t outcome;
    };
    static uint8_t buffer[LWU_MAX_MESSAGE];
    const Row rows[] = {
        {"PipeWrite", true, [](LinkWinUsbApi& a, void* h) { uint32_t n = 0; return a.PipeWrite(h, 0x01, buffer, 8, &n, nullptr); }, 0},
        {"PipeRead", false, [](LinkWinUsbApi& a, void* h) { uint32_t n = 0; return a.PipeRead(h, 0x81, buffer, 8, &n, nullptr); }, 0},
        {"Write", true, [](LinkWinUsbApi& a, void* h) { return a.Write(h, 0x01, buffer, 8); }, 1},
        {"Read", false, [](LinkWinUsbApi& a, void* h) { return a.Read(h, 0x81, buffer, nullptr); }, LWU_READ_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int dev = 0;
        void* h = OpenFresh(2, &dev);
        uint8_t pipe = row.write ? 0x01 : 0x81;
        const int op = row.write ? SIM_OP_WRITE_PIPE : SIM_OP_READ_PIPE;
        SimWorld_QueueMessage(dev, "12345678", 8);
        SimWorld_FailCall(dev, SIM_OP_RESET_PIPE, pipe, ERROR_GEN_FAILURE, 1);
        StdoutCapture quiet;
        EXPECT_EQ(row.outcome, row.transfer(api(), h)) << "the reset's failure is not the transfer's";
        Call reset = RecordedCalls().back();
        EXPECT_EQ("WinUsb_ResetPipe", reset.name());
        EXPECT_EQ(0u, reset.call.result) << "the reset did fail";
        // A stall that the reset fails to clear stays until a reset succeeds.
        SimWorld_QueueMessage(dev, "12345678", 8);
        SimWorld_Stall(dev, op, pipe, 1);
        SimWorld_FailCall(dev, SIM_OP_RESET_PIPE, pipe, ERROR_GEN_FAILURE, 1);
        EXPECT_NE(row.outcome, row.transfer(api(), h));
        SimWorld_ClearCalls();
        EXPECT_NE(row.outcome, row.transfer(api(), h)) << "still stalled";
        EXPECT_EQ(row.outcome, row.transfer(api(), h)) << "the last reset cleared it";
        api().CloseDevice(&session_);
    }
}

TEST_F(Transfers, InvalidHandleOnEveryExportTouchesNothing) {
    void* bad = INVALID_HANDLE_VALUE;
    uint8_t buf[18] = {};
    uint32_t n = 0;
    EXPECT_EQ(0u, api().ControlRead(bad, 2, 1, 0x81, 0, 0, buf, 1));
    EXPECT_EQ(0u, api().ControlWrite(bad, 2, 1, 0x80, 0, 0, nullptr, 0));
    EXPECT_EQ(LWU_BAD_HANDLE, api().PipeRead(bad, 0x81, buf, 4, &n, nullptr));
    EXPECT_EQ(LWU_BAD_HANDLE, api().PipeWrite(bad, 0x01, buf, 4, &n, nullptr));
    EXPECT_EQ(LWU_READ_FAILED, api().Read(bad, 0x81, buf, &n)) << "version 0: the status byte keeps its start value 3";
    EXPECT_EQ(0u, api().Write(bad, 0x01, buf, 4));
    EXPECT_EQ(0u, SimWorld_CallCount());

    OpenFresh(2);   // version 2 now
    api().CloseDevice(&session_);
    SimWorld_ClearCalls();
    n = 7;
    EXPECT_EQ(LWU_READ_EMPTY, api().Read(bad, 0x81, buf, &n)) << "the length keeps its start value 0";
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0u, SimWorld_CallCount());
}

TEST_F(Transfers, NullBuffersAndZeroLengths) {
    void* h = OpenFresh(2);
    uint32_t n = 99;
    EXPECT_EQ(0u, api().PipeWrite(h, 0x01, nullptr, 0, &n, nullptr));
    EXPECT_EQ(LWU_BAD_ARGUMENT, api().PipeWrite(h, 0x01, nullptr, 5, &n, nullptr));
    EXPECT_EQ(0u, api().PipeRead(h, 0x81, nullptr, 5, &n, nullptr));
    uint8_t buf[4];
    EXPECT_EQ(0u, api().PipeRead(h, 0x81, buf, 0, &n, nullptr));
    EXPECT_EQ(0u, SimWorld_CallCount());
    EXPECT_EQ(99u, n);
}

TEST_F(Transfers, ControlRequestTypeAndShortControlTransfers) {
    int device = 0;
    void* h = OpenFresh(2, &device);
    uint8_t buf[18] = {};
    EXPECT_EQ(0u, api().ControlRead(h, 2, 1, 0x81, 0, 0, buf, 1));
    EXPECT_EQ(2, buf[0]);
    EXPECT_EQ(0u, api().ControlWrite(h, 2, 1, 0x80, 0, 0, nullptr, 0));
    // Standard GET_DESCRIPTOR of the device descriptor, answered with 8 of 18 bytes.
    SimWorld_ShortTransfer(device, SIM_OP_CONTROL_TRANSFER, 6, 8, 1);
    EXPECT_EQ(LWU_SHORT_READ, api().ControlRead(h, 0, 0, 6, 0x0100, 0, buf, 18));
    // A short OUT control transfer reports the same code.
    SimWorld_ShortTransfer(device, SIM_OP_CONTROL_TRANSFER, 0x85, 2, 1);
    uint8_t len[4] = {};
    EXPECT_EQ(LWU_SHORT_READ, api().ControlWrite(h, 2, 1, 0x85, 0, 0, len, 4));
    SimWorld_Stall(device, SIM_OP_CONTROL_TRANSFER, 0x83, 1);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_GEN_FAILURE), api().ControlRead(h, 2, 1, 0x83, 0, 0, buf, 4));
    auto calls = RecordedCalls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ(0xC1, calls[0].requestType());
    EXPECT_EQ(0x41, calls[1].requestType());
    EXPECT_EQ(0x80, calls[2].requestType());
    EXPECT_EQ(0x0100u, calls[2].call.args[3]) << "value passed unchanged";
    // Arguments are neither validated nor masked: type 7 and recipient 0x3F overflow into 8 bits.
    SimWorld_ClearCalls();
    api().ControlRead(h, 7, 0x3F, 0x99, 1, 2, buf, 0);
    EXPECT_EQ(0xFF, RecordedCalls()[0].requestType());
}

TEST_F(Transfers, PipeWriteReportsCountsAndResetsEveryTime) {
    int device = 0;
    void* h = OpenFresh(2, &device);
    Bytes msg = Pattern(50);
    uint32_t n = 0;
    SimWorld_ShortTransfer(device, SIM_OP_WRITE_PIPE, SIM_ANY, 20, 1);
    StdoutCapture out;
    EXPECT_EQ(0u, api().PipeWrite(h, 0x01, msg.data(), 50, &n, nullptr)) << "with a count pointer: no short check";
    EXPECT_EQ(20u, n);
    SimWorld_ShortTransfer(device, SIM_OP_WRITE_PIPE, SIM_ANY, 20, 1);
    EXPECT_EQ(LWU_SHORT_WRITE, api().PipeWrite(h, 0x01, msg.data(), 50, nullptr, nullptr));
    SimWorld_Stall(device, SIM_OP_WRITE_PIPE, SIM_ANY, 1);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_GEN_FAILURE), api().PipeWrite(h, 0x01, msg.data(), 50, &n, nullptr));
    EXPECT_EQ(0u, api().PipeWrite(h, 0x01, msg.data(), 50, &n, nullptr)) << "the reset cleared the stall";
    EXPECT_EQ((Trace{"WritePipe", "ResetPipe", "WritePipe", "ResetPipe", "WritePipe", "ResetPipe", "WritePipe",
                     "ResetPipe"}),
              CallTrace());
    EXPECT_EQ(
        "Wrote to pipe 1: 50 bytes\nActual data transferred: 20.\n"
        "Wrote to pipe 1: 50 bytes\nActual data transferred: 20.\n"
        "Wrote to pipe 1: 50 bytes\nActual data transferred: 0.\n"
        "Wrote to pipe 1: 50 bytes\nActual data transferred: 50.\n",
        out.Text());
}

TEST_F(Transfers, PipeReadPrintsTheTextUpToItsFirstZeroByte) {
    int device = 0;
    void* h = OpenFresh(2, &device);
    const char hello[] = "hello\0world";
    SimWorld_QueueMessage(device, hello, sizeof hello);
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    uint32_t n = 0;
    StdoutCapture out;
    EXPECT_EQ(0u, api().PipeRead(h, 0x81, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(sizeof hello, n);
    SimWorld_QueueMessage(device, "ab", 2);
    EXPECT_EQ(LWU_SHORT_READ, api().PipeRead(h, 0x81, buf, 2 + 1, nullptr, nullptr));
    // The text is bounded by the transfer's length (3), not by the count received (2).
    EXPECT_EQ("Read from pipe 129: hello \nActual data read: 12.\nRead from pipe 129: abl \nActual data read: 2.\n",
              out.Text());
}

// Counts the writes the C runtime makes (to standard output among its files) while it lives:
// its own import of WriteFile, which the library's stdio and this program's share.
class CrtWrites {
public:
    CrtWrites() : patch_(GetModuleHandleA("msvcrt.dll"), "WriteFile", reinterpret_cast<void*>(&Count)) {
        original() = patch_.original<decltype(&::WriteFile)>();
        count() = 0;
    }
    CrtWrites(const CrtWrites&) = delete;
    CrtWrites& operator=(const CrtWrites&) = delete;
    int writes() const { return count().load(); }

private:
    static std::atomic<int>& count() {
        static std::atomic<int> n{0};
        return n;
    }
    static decltype(&::WriteFile)& original() {
        static decltype(&::WriteFile) f = nullptr;
        return f;
    }
    static BOOL WINAPI Count(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
        ++count();
        return original()(file, data, length, written, overlapped);
    }
    ImportPatch patch_;
};

// Standard output without a buffer, as a console's is, while it lives (when active).
class UnbufferedStdout {
public:
    explicit UnbufferedStdout(bool active) : active_(active) {
        if (!active_) return;
        std::fflush(stdout);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
    ~UnbufferedStdout() {
        if (!active_) return;
        std::fflush(stdout);
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);   // the C runtime's own size for a file or a pipe
    }
    UnbufferedStdout(const UnbufferedStdout&) = delete;
    UnbufferedStdout& operator=(const UnbufferedStdout&) = delete;

private:
    bool active_;
};

// `length` bytes that end where an inaccessible page begins: reading past them crashes.
class GuardedBytes {
public:
    explicit GuardedBytes(size_t length) {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        const size_t room = (length + si.dwPageSize - 1) / si.dwPageSize * si.dwPageSize;
        pages_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, room + si.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!pages_) return;
        DWORD old;
        VirtualProtect(pages_ + room, si.dwPageSize, PAGE_NOACCESS, &old);
        data_ = pages_ + room - length;
    }
    ~GuardedBytes() {
        if (pages_) VirtualFree(pages_, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    uint8_t* data() const { return data_; }   // null when the pages could not be had

private:
    uint8_t* pages_ = nullptr;
    uint8_t* data_ = nullptr;
};

// The buffer is shown as text up to its first zero byte and never past its length, whatever that
// length, and in a few writes, also to an unbuffered standard output.
TEST_F(Transfers, PipeReadNeverReadsTheBufferPastItsLength) {
    struct Row {
        const char* what;
        uint32_t length;    // of the buffer, filled with 'A' and ending where an inaccessible page begins
        bool deviceSends;   // the device sends as many bytes; else the read fails at once, shown all the same
        bool unbuffered;    // standard output has no buffer: the writes are counted
        bool x64Only;       // the buffer needs the 64-bit address space
    } const rows[] = {
        {"5 bytes", 5, true, false, false},
        {"16 KiB to an unbuffered standard output", 16 * 1024, true, true, false},
        {"2^31 + 16 bytes: more than an int counts", (1u << 31) + 16, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.x64Only && kPointerBytes == 4) GTEST_SKIP() << row.what << ": the 64-bit library only";
        int device = 0;
        void* h = OpenFresh(2, &device);
        GuardedBytes bytes(row.length);
        uint8_t* buf = bytes.data();
        ASSERT_NE(nullptr, buf);
        std::memset(buf, 'A', row.length);
        if (row.deviceSends) {
            const std::string sent(row.length, 'A');
            SimWorld_QueueMessage(device, sent.data(), row.length);
        } else {
            SimWorld_FailCall(device, SIM_OP_READ_PIPE, SIM_ANY, ERROR_SEM_TIMEOUT, 1);
        }
        const std::string count = std::to_string(row.deviceSends ? row.length : 0);
        const std::string head = "Read from pipe 129: ";
        const std::string tail = " \r\nActual data read: " + count + ".\r\n";   // as the text-mode file holds it
        uint32_t n = 0;
        uint32_t status = 0;
        int writes = 0;
        StdoutCapture out;
        {
            UnbufferedStdout unbuffered(row.unbuffered);
            CrtWrites counted;
            status = api().PipeRead(h, 0x81, buf, row.length, &n, nullptr);
            writes = counted.writes();
        }
        EXPECT_EQ(row.deviceSends ? 0u : static_cast<uint32_t>(ERROR_SEM_TIMEOUT), status);
        const long long size = static_cast<long long>(head.size() + row.length + tail.size());
        EXPECT_EQ(size, out.Size()) << "the text is exactly the buffer";
        const std::string first = head + std::string(std::min<size_t>(row.length, 64), 'A');
        const std::string last = std::string(std::min<size_t>(row.length, 64), 'A') + tail;
        EXPECT_EQ(first, out.Raw(0, static_cast<long long>(first.size())));
        EXPECT_EQ(last, out.Raw(size - static_cast<long long>(last.size()), static_cast<long long>(last.size())));
        if (row.unbuffered) {
            // The line in a few pieces, each one or two writes of the C runtime; not a write per byte.
            EXPECT_LE(writes, 16) << "writes for one line of " << row.length << " bytes";
        }
        api().CloseDevice(&session_);
    }
}

TEST_F(Transfers, OverlappedTransfersReportPendingAndStillResetThePipe) {
    int device = 0;
    void* h = OpenFresh(2, &device);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t msg[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t n = 5;
    StdoutCapture out;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), api().PipeWrite(h, 0x01, msg, 8, &n, &ov));
    EXPECT_EQ(0u, n);
    EXPECT_EQ((Trace{"WritePipe", "ResetPipe"}), CallTrace());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 5000));
    SimWorld_ClearCalls();
    ResetEvent(ov.hEvent);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), api().PipeWrite(h, 0x01, msg, 8, nullptr, &ov))
        << "without a count pointer the pending status is returned as is";
    WaitForSingleObject(ov.hEvent, 5000);
    CloseHandle(ov.hEvent);
}

// WinUSB's error comes back as it is; a failure that left the last error at 0 comes back as 31,
// never as success.
TEST_F(Transfers, WinUsbErrorsPassThroughAndNoFailureReadsAsSuccess) {
    struct Row {
        const char* what;
        std::function<void(int device)> fault;
        std::function<uint32_t(LinkWinUsbApi&, void*)> call;
        uint32_t expected;
        bool removal = false;   // expected: the removal code the world drew for the device
    };
    auto failNext = [](int operation, DWORD error) {
        return [operation, error](int device) { SimWorld_FailCall(device, operation, SIM_ANY, error, 1); };
    };
    static uint8_t buffer[8];
    auto pipeRead = [](LinkWinUsbApi& a, void* h) {
        uint32_t n = 0;
        return a.PipeRead(h, 0x81, buffer, 8, &n, nullptr);
    };
    auto pipeWrite = [](LinkWinUsbApi& a, void* h) {
        uint32_t n = 0;
        return a.PipeWrite(h, 0x01, buffer, 8, &n, nullptr);
    };
    // Read returns no message: the destination and the length show nothing received.
    auto read = [](LinkWinUsbApi& a, void* h) {
        Bytes destination(16, 0xAA);
        uint32_t length = 5;
        uint32_t result = a.Read(h, 0x81, destination.data(), &length);
        EXPECT_EQ(Bytes(16, 0xAA), destination) << "the destination stays untouched";
        EXPECT_EQ(0u, length);
        return result;
    };
    const Row rows[] = {
        {"PipeRead times out", failNext(SIM_OP_READ_PIPE, ERROR_SEM_TIMEOUT), pipeRead, ERROR_SEM_TIMEOUT},
        {"PipeWrite to an unplugged device", [](int device) { SimWorld_RemoveDevice(device); }, pipeWrite,
         ERROR_BAD_COMMAND, true},
        {"PipeRead fails with last error 0", failNext(SIM_OP_READ_PIPE, 0), pipeRead, ERROR_GEN_FAILURE},
        {"PipeRead without a count fails with last error 0", failNext(SIM_OP_READ_PIPE, 0),
         [](LinkWinUsbApi& a, void* h) { return a.PipeRead(h, 0x81, buffer, 8, nullptr, nullptr); }, ERROR_GEN_FAILURE},
        {"PipeWrite fails with last error 0", failNext(SIM_OP_WRITE_PIPE, 0), pipeWrite, ERROR_GEN_FAILURE},
        {"PipeWrite without a count fails with last error 0", failNext(SIM_OP_WRITE_PIPE, 0),
         [](LinkWinUsbApi& a, void* h) { return a.PipeWrite(h, 0x01, buffer, 8, nullptr, nullptr); },
         ERROR_GEN_FAILURE},
        {"ControlRead fails with last error 0", failNext(SIM_OP_CONTROL_TRANSFER, 0),
         [](LinkWinUsbApi& a, void* h) { return a.ControlRead(h, 2, 1, 0x82, 0, 0, buffer, 1); }, ERROR_GEN_FAILURE},
        {"ControlWrite fails with last error 0", failNext(SIM_OP_CONTROL_TRANSFER, 0),
         [](LinkWinUsbApi& a, void* h) { return a.ControlWrite(h, 2, 1, 0x80, 0, 0, nullptr, 0); }, ERROR_GEN_FAILURE},
        {"Read: the length request fails with last error 0", failNext(SIM_OP_CONTROL_TRANSFER, 0), read,
         LWU_READ_FAILED},
        {"Read: the bulk transfer fails with last error 0", failNext(SIM_OP_READ_PIPE, 0), read, LWU_READ_FAILED},
        {"Write: the bulk transfer fails with last error 0", failNext(SIM_OP_WRITE_PIPE, 0),
         [](LinkWinUsbApi& a, void* h) { return a.Write(h, 0x01, buffer, 8); }, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int device = 0;
        void* h = OpenFresh(2, &device);
        SimWorld_QueueMessage(device, "12345678", 8);
        row.fault(device);
        StdoutCapture quiet;
        const uint32_t result = row.call(api(), h);
        if (row.removal) {   // 433 is ERROR_NO_SUCH_DEVICE, which the mingw headers lack
            EXPECT_TRUE(result == ERROR_BAD_COMMAND || result == ERROR_DEVICE_NOT_CONNECTED || result == 433) << result;
        } else {
            EXPECT_EQ(row.expected, result);
        }
        api().CloseDevice(&session_);
    }
}

}  // namespace

namespace {

TEST_F(Framing, ReadCarriesOnWhenItsBufferCannotBeFreed) {
    int dev = 0;
    void* h = OpenFresh(2, &dev);
    const Bytes message = Pattern(300);
    SimWorld_QueueMessage(dev, message.data(), static_cast<uint32_t>(message.size()));
    Bytes destination(400, 0xEE);
    uint32_t length = 0;
    StdoutCapture quiet;
    {
        auto kept = FAIL_IMPORT(library().module(), LocalFree, reinterpret_cast<HLOCAL>(1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(uint32_t{LWU_READ_OK}, api().Read(h, 0x81, destination.data(), &length));
        EXPECT_EQ(1, kept.failed());
    }
    EXPECT_EQ(300u, length);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), destination.begin()));
}

TEST_F(Framing, ReadWithoutMemoryForTheMessageReceivesAndCopiesNothing) {
    int dev = 0;
    void* h = OpenFresh(1, &dev);
    const Bytes message = Pattern(300);
    SimWorld_QueueMessage(dev, message.data(), static_cast<uint32_t>(message.size()));
    Bytes destination(400, 0xEE);
    uint32_t length = 77;
    {
        auto noMemory = FAIL_IMPORT(library().module(), LocalAlloc, HLOCAL{}, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(uint32_t{LWU_READ_FAILED}, api().Read(h, 0x81, destination.data(), &length));
        EXPECT_EQ(1, noMemory.failed());
    }
    EXPECT_EQ(0u, length);
    EXPECT_EQ(Bytes(400, 0xEE), destination) << "the destination is untouched";
    EXPECT_EQ((Trace{"Control C1/84"}), CallTrace()) << "no bulk transfer without a buffer";
    EXPECT_EQ(1u, SimWorld_PendingCount(dev)) << "the message stays in the device";
}

}  // namespace
