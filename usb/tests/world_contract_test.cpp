// The simulated WinUSB keeps the platform's contracts that the library relies on, so that a wrong
// call of the library fails a test here as it would fail on Windows: the handle WinUsb_Initialize
// takes and the policies it resets, the data a short read leaves for the next one, and overlapped
// transfers that finish at once.
#include <winusb.h>

#include "pipes_host.h"

namespace {

using Bytes = std::vector<uint8_t>;

class WinUsbContracts : public PipeHostTest {
protected:
    // PipeRead of up to `length` bytes: the bytes read.
    std::string ReadText(uint32_t length) {
        char buffer[64] = {};
        uint32_t count = 0;
        EXPECT_EQ(0u, api().PipeRead(handle_, 0x81, buffer, length, &count, nullptr));
        return std::string(buffer, count);
    }
    StdoutCapture quiet_;   // the per-transfer lines are not what these tests look at
    void* handle_ = nullptr;
    int device_ = 0;
};

TEST_F(WinUsbContracts, InitializeTakesOnlyAFileHandleOpenedForOverlappedIo) {
    std::string path;
    AddDeviceWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, &path);
    struct Row {
        DWORD flags;
        BOOL ok;
        DWORD error;
    } const rows[] = {
        {FILE_ATTRIBUTE_NORMAL, FALSE, ERROR_INVALID_HANDLE},
        {FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, TRUE, 0},
        {FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, TRUE, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, row.flags, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        WINUSB_INTERFACE_HANDLE handle = nullptr;
        SetLastError(0);
        BOOL ok = WinUsb_Initialize(file, &handle);
        EXPECT_EQ(row.ok, ok);
        EXPECT_EQ(row.error, ok ? 0 : GetLastError());
        if (ok) WinUsb_Free(handle);
        CloseHandle(file);
    }
}

TEST_F(WinUsbContracts, InitializeResetsThePipePoliciesToTheirDefaults) {
    std::string path;
    int dev = AddDeviceWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, &path);
    ASSERT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
    uint8_t off = 0;
    ASSERT_EQ(0u, lwu().SetTransferTimeoutPolicy(session_.interfaceHandle, 0x81, 250));
    ASSERT_EQ(0u, lwu().SetPipePolicy(session_.interfaceHandle, 0x81, ALLOW_PARTIAL_READS, 1, &off));
    // The next open of the device resets what the last one set.
    api().CloseDevice(&session_);
    DeviceSession second{};
    ASSERT_EQ(0u, api().OpenDevice(&second, path.c_str()));
    uint32_t timeout = 0xDEAD;
    uint8_t partial = 0xEE;
    EXPECT_EQ(4u, SimWorld_GetPipePolicyValue(dev, 0x81, PIPE_TRANSFER_TIMEOUT, &timeout, sizeof timeout));
    EXPECT_EQ(1u, SimWorld_GetPipePolicyValue(dev, 0x81, ALLOW_PARTIAL_READS, &partial, sizeof partial));
    EXPECT_EQ(0u, timeout) << "no time-out: the default of a bulk pipe";
    EXPECT_EQ(1, partial);
    api().CloseDevice(&second);
}

TEST_F(WinUsbContracts, ReadDataBeyondTheLengthStaysForTheNextReadUntilFlushed) {
    handle_ = OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, &device_);
    SimWorld_QueueMessage(device_, "0123456789", 10);
    SimWorld_QueueMessage(device_, "next", 4);
    EXPECT_EQ("0123", ReadText(4));
    EXPECT_EQ(6u, SimWorld_PipeCachedBytes(device_, 0x81));
    EXPECT_EQ("456789", ReadText(32)) << "the rest of the transfer comes before the next message";
    EXPECT_EQ(0u, SimWorld_PipeCachedBytes(device_, 0x81));
    EXPECT_EQ("ne", ReadText(2));
    EXPECT_EQ(0u, lwu().PipeFlush(handle_, 0x81));
    EXPECT_EQ(0u, SimWorld_PipeCachedBytes(device_, 0x81)) << "flushing discards what the read left";
    SimWorld_QueueMessage(device_, "last", 4);
    EXPECT_EQ("last", ReadText(32));

    uint8_t on = 1;
    ASSERT_EQ(0u, lwu().SetPipePolicy(handle_, 0x81, AUTO_FLUSH, 1, &on));
    SimWorld_QueueMessage(device_, "abcdef", 6);
    SimWorld_QueueMessage(device_, "after", 5);
    EXPECT_EQ("ab", ReadText(2));
    EXPECT_EQ(0u, SimWorld_PipeCachedBytes(device_, 0x81)) << "AUTO_FLUSH drops the rest at once";
    EXPECT_EQ("after", ReadText(32));
}

// Starts an overlapped transfer by WinUSB itself: TRUE when it finished at once.
BOOL StartOverlapped(void* handle, bool write, uint8_t* buffer, OVERLAPPED& ov) {
    ULONG count = 0;
    return write ? WinUsb_WritePipe(handle, 0x01, buffer, 6, &count, &ov)
                 : WinUsb_ReadPipe(handle, 0x81, buffer, 6, &count, &ov);
}

TEST_F(WinUsbContracts, AnOverlappedTransferFinishesAtOnceOrPends) {
    handle_ = OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, &device_);
    struct Row {
        const char* what;
        bool write;
        bool atOnce;      // the world may finish it at once
        bool dataWaits;   // a message waits in the device before the read starts
        BOOL returns;
    } const rows[] = {
        {"write", true, true, false, TRUE},
        {"write", true, false, false, FALSE},
        {"read with data waiting", false, true, true, TRUE},
        {"read not finished at once", false, false, true, FALSE},
        {"read without data", false, true, false, FALSE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.what) + (row.atOnce ? ", may finish at once" : ""));
        if (row.atOnce) SimWorld_CompleteAtOnce(device_, row.write ? SIM_OP_WRITE_PIPE : SIM_OP_READ_PIPE, 1);
        if (row.dataWaits) SimWorld_QueueMessage(device_, "ABCDEF", 6);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        uint8_t buffer[6] = {1, 2, 3, 4, 5, 6};
        SetLastError(0);
        BOOL started = StartOverlapped(handle_, row.write, buffer, ov);
        EXPECT_EQ(row.returns, started);
        if (!started) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
            if (!row.dataWaits && !row.write) SimWorld_QueueMessage(device_, "ABCDEF", 6);
        } else {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 0)) << "its event is set when the call returns";
        }
        DWORD count = 0;
        EXPECT_TRUE(WinUsb_GetOverlappedResult(handle_, &ov, &count, TRUE));
        EXPECT_EQ(6u, count);
        if (!row.write) {
            EXPECT_EQ(0, std::memcmp(buffer, "ABCDEF", 6));
        }
        CloseHandle(ov.hEvent);
    }
    EXPECT_EQ(0u, SimWorld_PendingTransfers(device_));
}

}  // namespace
