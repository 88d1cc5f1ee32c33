// What a host meets on Windows, through the exports: transfers that wait until a time-out or an
// abort ends them, one owner per device, WinUSB's limits and policies, packets and zero-length
// packets, surprise removal, strings in a language, paths in two letter cases.
#include <winusb.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <set>

#include "pipes_host.h"

namespace {

// A call on a thread of its own. The test waits for it with a bound; a call that never returns
// ends the process with a message, since a hang is what these tests look for and the world
// sets no limit of its own.
class Background {
public:
    explicit Background(std::function<uint32_t()> call)
        : done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), thread_([this, call] {
              result_ = call();
              SetEvent(done_);
          }) {}
    ~Background() {
        if (!Finished(60000)) {
            std::fprintf(stderr, "watchdog: a call still waits after 60 s\n");
            std::fflush(stderr);
            ExitProcess(3);
        }
        thread_.join();
        CloseHandle(done_);
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    bool Finished(DWORD ms) const { return WaitForSingleObject(done_, ms) == WAIT_OBJECT_0; }
    uint32_t Result() {
        EXPECT_TRUE(Finished(60000));
        return result_;
    }

private:
    HANDLE done_;
    std::thread thread_;
    uint32_t result_ = 0xDEADBEEF;
};

// Waits until the device has a synchronous transfer whose caller waits in WinUSB.
bool SeenWaiting(int device) {
    for (int i = 0; i < 1000; ++i) {
        if (SimWorld_WaitingTransfers(device) > 0) return true;
        Sleep(10);
    }
    return false;
}

bool IsRemovalCode(uint32_t code) { return code == 22 || code == 1167 || code == 433; }

class PlatformContracts : public PipeHostTest {
protected:
    void* Open(int version = 2, SimUsbDeviceConfig* config = nullptr) {
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        if (config) c = *config;
        c.protocolVersion = static_cast<uint8_t>(version);
        std::string path;
        device_ = AddDevice(c, &path);
        path_ = path;
        EXPECT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
        SimWorld_ClearCalls();
        return session_.interfaceHandle;
    }
    StdoutCapture quiet_;
    int device_ = 0;
    std::string path_;
    uint8_t buffer_[2048] = {};
};

enum class Remedy { Abort, BulkTimeout, ControlTimeout, ShortControlTimeout };

struct WaitRow {
    const char* what;
    int operation;        // the transfer the device stops answering
    int request;
    uint32_t hangAfter;   // bytes it moves first
    Remedy remedy;
    uint32_t expected;    // the export's result
    uint32_t count;       // bytes reported moved (PipeRead, PipeWrite), or ~0 when not reported
};

TEST_F(PlatformContracts, TransfersWaitUntilATimeoutOrAnAbortEndsThem) {
    const uint32_t kAny = ~0u;
    const WaitRow rows[] = {
        {"PipeRead, nothing to read", 0, 0, 0, Remedy::Abort, ERROR_OPERATION_ABORTED, 0},
        {"PipeRead, nothing to read", 0, 0, 0, Remedy::BulkTimeout, ERROR_SEM_TIMEOUT, 0},
        {"PipeRead, 512 bytes then silence", SIM_OP_READ_PIPE, SIM_ANY, 512, Remedy::BulkTimeout, ERROR_SEM_TIMEOUT,
         512},
        {"PipeWrite, no packet taken", SIM_OP_WRITE_PIPE, SIM_ANY, 0, Remedy::Abort, ERROR_OPERATION_ABORTED, 0},
        {"PipeWrite, 512 bytes taken", SIM_OP_WRITE_PIPE, SIM_ANY, 512, Remedy::BulkTimeout, ERROR_SEM_TIMEOUT, 512},
        {"Read, bulk IN silent", SIM_OP_READ_PIPE, SIM_ANY, 0, Remedy::Abort, LWU_READ_FAILED, kAny},
        {"Write, bulk OUT silent", SIM_OP_WRITE_PIPE, SIM_ANY, 0, Remedy::BulkTimeout, 0, kAny},
        {"ControlRead", SIM_OP_CONTROL_TRANSFER, 0x84, 0, Remedy::ControlTimeout, ERROR_SEM_TIMEOUT, kAny},
        {"ControlWrite", SIM_OP_CONTROL_TRANSFER, 0x85, 0, Remedy::ShortControlTimeout, ERROR_SEM_TIMEOUT, kAny},
        {"Read, length request silent", SIM_OP_CONTROL_TRANSFER, 0x84, 0, Remedy::ShortControlTimeout,
         LWU_READ_FAILED, kAny},
    };
    for (const WaitRow& row : rows) {
        SCOPED_TRACE(row.what);
        void* h = Open();
        std::string name = row.what;
        bool isRead = name.rfind("Read", 0) == 0;
        bool isPipeRead = name.rfind("PipeRead", 0) == 0;
        if (row.operation) SimWorld_Hang(device_, row.operation, row.request, row.hangAfter, 1);
        if (isPipeRead && row.hangAfter) SimWorld_QueueMessage(device_, nullptr, 1024);
        if (isRead) SimWorld_QueueMessage(device_, nullptr, 1024);
        if (row.remedy == Remedy::BulkTimeout) {
            ASSERT_EQ(0u, lwu().SetTransferTimeoutPolicy(h, 0x81, 150));
            ASSERT_EQ(0u, lwu().SetTransferTimeoutPolicy(h, 0x01, 150));
        }
        if (row.remedy == Remedy::ShortControlTimeout) {
            ASSERT_EQ(0u, lwu().SetTransferTimeoutPolicy(h, 0, 150));
        }
        uint32_t count = 0xFFFF;
        uint8_t* data = buffer_;
        Background call([&]() -> uint32_t {
            if (name.rfind("PipeRead", 0) == 0) return api().PipeRead(h, 0x81, data, 1024, &count, nullptr);
            if (name.rfind("PipeWrite", 0) == 0) return api().PipeWrite(h, 0x01, data, 1024, &count, nullptr);
            if (name.rfind("Read", 0) == 0) return api().Read(h, 0x81, data, nullptr);
            if (name.rfind("Write", 0) == 0) return api().Write(h, 0x01, data, 1024);
            uint8_t value[4] = {0, 4, 0, 0};
            if (name == "ControlRead") return api().ControlRead(h, 2, 1, 0x84, 0, 0, value, 4);
            return api().ControlWrite(h, 2, 1, 0x85, 0, 0, value, 4);
        });
        auto started = std::chrono::steady_clock::now();
        if (row.remedy == Remedy::Abort) {
            ASSERT_TRUE(SeenWaiting(device_));
            EXPECT_FALSE(call.Finished(300)) << "the transfer waits: bulk pipes have no time-out of their own";
            EXPECT_EQ(0u, lwu().PipeAbort(h, row.operation == SIM_OP_WRITE_PIPE ? 0x01 : 0x81));
        }
        EXPECT_EQ(row.expected, call.Result());
        if (row.count != kAny) {
            EXPECT_EQ(row.count, count) << "a timed-out transfer reports what it moved";
        }
        if (row.remedy == Remedy::ControlTimeout) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4900))
                << "the control pipe's time-out is 5 s";
        }
        api().CloseDevice(&session_);
    }
}

TEST_F(PlatformContracts, AHandshakeWithASilentDeviceHoldsOpenDeviceForTheControlPipesFiveSeconds) {
    Open(1);   // protocol version 1 is now in force
    api().CloseDevice(&session_);
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.protocolVersion = 2;
    std::string path;
    int silent = AddDevice(c, &path);
    SimWorld_Hang(silent, SIM_OP_CONTROL_TRANSFER, 0x81, 0, 1);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, api().OpenDevice(&session_, path.c_str())) << "a failed handshake still opens";
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4900));
    // The version request timed out: version 1 stays in force, so Write announces the length.
    SimWorld_ClearCalls();
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(1u, api().Write(session_.interfaceHandle, 0x01, data, 4));
    EXPECT_EQ("Control 41/85", CallTrace().at(0));
    api().CloseDevice(&session_);
}

TEST_F(PlatformContracts, RemovalEndsAWaitingTransferAndLaterCallsFailWithARemovalCode) {
    std::set<uint32_t> seen;
    // Devices draw their code from the seed and their id: enough seeds meet all three.
    for (uint64_t seed = 1; seed <= 40 && seen.size() < 3; ++seed) {
        SCOPED_TRACE(seed);
        SimWorld_SetSeed(seed);
        void* h = Open();
        uint32_t count = 7;
        Background read([&] { return api().PipeRead(h, 0x81, buffer_, 64, &count, nullptr); });
        ASSERT_TRUE(SeenWaiting(device_));
        SimWorld_RemoveDevice(device_);
        EXPECT_EQ(static_cast<uint32_t>(ERROR_OPERATION_ABORTED), read.Result());
        uint32_t later = api().PipeRead(h, 0x81, buffer_, 64, &count, nullptr);
        EXPECT_TRUE(IsRemovalCode(later)) << later;
        seen.insert(later);
        EXPECT_EQ(later, lwu().PipeFlush(h, 0x81)) << "one code per device";
        uint8_t value = 0;
        EXPECT_EQ(later, api().ControlRead(h, 2, 1, 0x82, 0, 0, &value, 1));
        api().CloseDevice(&session_);
        DeviceSession again{};
        EXPECT_EQ(0x80070002u, api().OpenDevice(&again, path_.c_str()))
            << "the path went with the device, though the host held it open at the removal";
        EXPECT_EQ(0u, again.isOpen);
    }
    EXPECT_EQ(3u, seen.size()) << "the seeds draw every code Windows reports";
}

TEST_F(PlatformContracts, OneOwnerPerDevice) {
    Open();
    DeviceSession second{};
    EXPECT_EQ(0x80070005u, api().OpenDevice(&second, path_.c_str())) << "access denied, in HRESULT form";
    EXPECT_EQ(0u, second.isOpen);
    UsbDeviceDetail detail{};
    EXPECT_EQ(0, lwu().GetUsbDeviceDetail(&detail, path_.c_str())) << "the host holds the device open";
    EXPECT_EQ(nullptr, detail.serialNumber);
    EXPECT_NE(std::string::npos, quiet_.Text().find("Open device failed with error code 0x80070005"));
    api().CloseDevice(&session_);
    EXPECT_NE(0, lwu().GetUsbDeviceDetail(&detail, path_.c_str())) << "closed, it opens again";
    lwu().FreeUsbDeviceDetail(&detail);
}

struct LimitRow {
    const char* what;
    uint16_t length;
    uint16_t index;
    uint32_t expected;
    uint16_t wireIndex;   // wIndex as the device saw it
};

TEST_F(PlatformContracts, ControlTransfersAreAtMostFourKilobytesAndNameTheInterface) {
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.interfaceNumber = 2;
    void* h = Open(2, &c);
    static uint8_t big[5000];
    const LimitRow rows[] = {
        {"4096 bytes", 4096, 0, LWU_SHORT_READ, 0x0002},   // the firmware answers 4 bytes
        {"4097 bytes", 4097, 0, ERROR_INVALID_PARAMETER, 0},
        {"the interface number replaces wIndex's low byte", 4, 0x0107, 0, 0x0102},
    };
    for (const LimitRow& row : rows) {
        SCOPED_TRACE(row.what);
        SimWorld_ClearCalls();
        EXPECT_EQ(row.expected, api().ControlRead(h, 2, 1, 0x84, 0, row.index, big, row.length));
        auto calls = RecordedCalls();
        ASSERT_EQ(1u, calls.size());
        if (row.expected != ERROR_INVALID_PARAMETER) {
            EXPECT_EQ(row.wireIndex, calls[0].data[4] | calls[0].data[5] << 8);
        }
    }
    api().CloseDevice(&session_);
}

TEST_F(PlatformContracts, GetDescriptorCopiesNothingIntoABufferTooSmall) {
    void* h = Open();
    uint8_t buffer[17];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint32_t received = 5;
    SetLastError(0);
    EXPECT_EQ(0u, lwu().GetDeviceDescriptor(h, buffer, sizeof buffer, &received));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(0u, received);
    EXPECT_EQ(0xEE, buffer[0]) << "no data is copied";
    api().CloseDevice(&session_);
}

struct PolicyRow {
    const char* what;
    uint8_t inPolicy;     // one-byte policy set on the IN pipe (0: none)
    uint32_t message;     // bytes the device sends
    uint32_t readLength;  // bytes a PipeRead asks for
    uint32_t expected;
    uint32_t count;
    uint32_t cachedAfter;
};

TEST_F(PlatformContracts, PipePoliciesChangeWhatAReadMoves) {
    const PolicyRow rows[] = {
        {"partial reads allowed: the rest of the packet waits", 0, 100, 40, 0, 40, 60},
        {"partial reads off: more than asked fails", ALLOW_PARTIAL_READS, 100, 40, ERROR_GEN_FAILURE, 40, 0},
        {"auto flush drops the rest", AUTO_FLUSH, 100, 40, 0, 40, 0},
        {"raw I/O: not a multiple of the packet size", RAW_IO, 1024, 1000, ERROR_INVALID_PARAMETER, 0, 0},
        {"raw I/O: whole packets", RAW_IO, 1024, 1024, 0, 1024, 0},
        {"a short packet ends a read", 0, 700, 1024, 0, 700, 0},
        {"ignoring short packets, the read fills its buffer", IGNORE_SHORT_PACKETS, 700, 1024, 0, 1024, 188},
    };
    for (const PolicyRow& row : rows) {
        SCOPED_TRACE(row.what);
        void* h = Open();
        if (row.inPolicy) {
            uint8_t value = row.inPolicy == ALLOW_PARTIAL_READS ? 0 : 1;
            ASSERT_EQ(0u, lwu().SetPipePolicy(h, 0x81, row.inPolicy, 1, &value));
        }
        SimWorld_QueueMessage(device_, nullptr, row.message);
        if (row.inPolicy == IGNORE_SHORT_PACKETS) SimWorld_QueueMessage(device_, nullptr, row.message);
        uint32_t count = 0;
        EXPECT_EQ(row.expected, api().PipeRead(h, 0x81, buffer_, row.readLength, &count, nullptr));
        EXPECT_EQ(row.count, count);
        EXPECT_EQ(row.cachedAfter, SimWorld_PipeCachedBytes(device_, 0x81));
        api().CloseDevice(&session_);
    }
}

TEST_F(PlatformContracts, AStallHaltsThePipeUntilItIsResetUnlessAutoClearStallIsOn) {
    for (bool autoClear : {false, true}) {
        SCOPED_TRACE(autoClear ? "AUTO_CLEAR_STALL" : "default");
        void* h = Open();
        uint8_t on = 1;
        if (autoClear) {
            ASSERT_EQ(0u, lwu().SetPipePolicy(h, 0x81, AUTO_CLEAR_STALL, 1, &on));
        }
        SimWorld_Stall(device_, SIM_OP_READ_PIPE, SIM_ANY, 1);
        ULONG count = 0;
        EXPECT_FALSE(WinUsb_ReadPipe(h, 0x81, buffer_, 64, &count, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
        SimWorld_QueueMessage(device_, "next", 4);
        BOOL after = WinUsb_ReadPipe(h, 0x81, buffer_, 64, &count, nullptr);
        EXPECT_EQ(autoClear ? TRUE : FALSE, after) << "the pipe stays halted until it is reset";
        api().CloseDevice(&session_);
    }
}

struct PacketRow {
    int version;
    uint32_t length;
    bool terminate;        // SHORT_PACKET_TERMINATE on the OUT pipe
    uint32_t writeResult;
    uint32_t readResult;   // the Read of the echo
};

TEST_F(PlatformContracts, WriteAndReadOfAMessageOfWholePackets) {
    const PacketRow rows[] = {
        {0, 512, false, 1, LWU_READ_OK},     // request 0x86 ends the message
        {1, 512, false, 1, LWU_READ_OK},     // the length request 0x85 does
        {2, 512, false, 1, LWU_READ_EMPTY},  // nothing does: the device waits for more
        {2, 512, true, 1, LWU_READ_OK},      // a zero-length packet ends it
        {2, 500, false, 1, LWU_READ_OK},     // a short packet ends it
    };
    for (const PacketRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.version) + ", " + std::to_string(row.length) + (row.terminate ? ", ZLP" : ""));
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        c.echo = 1;
        void* h = Open(row.version, &c);
        uint8_t on = 1;
        if (row.terminate) {
            ASSERT_EQ(0u, lwu().SetPipePolicy(h, 0x01, SHORT_PACKET_TERMINATE, 1, &on));
        }
        EXPECT_EQ(row.writeResult, api().Write(h, 0x01, buffer_, row.length));
        EXPECT_EQ(row.readResult == LWU_READ_EMPTY ? row.length : 0u, SimWorld_IncomingBytes(device_));
        uint32_t length = 0;
        EXPECT_EQ(row.readResult, api().Read(h, 0x81, buffer_, &length));
        api().CloseDevice(&session_);
    }
}

TEST_F(PlatformContracts, AZeroLengthPacketAfterAMessageOfWholePacketsFailsTheNextRead) {
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.zeroLengthPacket = 1;
    void* h = Open(2, &c);
    SimWorld_QueueMessage(device_, nullptr, 512);
    SimWorld_QueueMessage(device_, "second", 6);
    uint32_t length = 0;
    EXPECT_EQ(LWU_READ_OK, api().Read(h, 0x81, buffer_, &length)) << "a full buffer ends the read";
    EXPECT_EQ(LWU_READ_FAILED, api().Read(h, 0x81, buffer_, &length)) << "the zero-length packet ends the next one";
    EXPECT_EQ(LWU_READ_OK, api().Read(h, 0x81, buffer_, &length));
    EXPECT_EQ(6u, length);
    api().CloseDevice(&session_);
}

TEST_F(PlatformContracts, FirmwareThatWantsALanguageStallsTheIdentityStrings) {
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.stringsNeedLanguage = 1;
    std::string path;
    AddDevice(c, &path);
    UsbDeviceDetail detail{};
    EXPECT_EQ(0, lwu().GetUsbDeviceDetail(&detail, path.c_str())) << "the strings are asked for in language 0";
    EXPECT_EQ(0x1209, detail.vendorId);
    ASSERT_NE(nullptr, detail.serialNumber);
    EXPECT_STREQ("", detail.serialNumber);
    EXPECT_EQ(nullptr, detail.product);
    lwu().FreeUsbDeviceDetail(&detail);
}

}  // namespace
