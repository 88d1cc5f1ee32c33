// Pipe operations and policies: the guards in front of WinUSB, the results each export
// turns WinUSB's outcome into, and the policies as the device's pipes keep them.
#include <winusb.h>

#include <functional>

#include "import_patch.h"
#include "pipes_host.h"

namespace {

using Trace = std::vector<std::string>;

class Pipes : public PipeHostTest {
protected:
    void* OpenDefault(int* device = nullptr) { return OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, device); }
    uint32_t TimeoutInWorld(int device, uint8_t pipeId) {
        uint32_t value = 0xDEAD;
        EXPECT_EQ(4u, SimWorld_GetPipePolicyValue(device, pipeId, LWU_PIPE_TRANSFER_TIMEOUT, &value, 4));
        return value;
    }
};

TEST_F(Pipes, EveryStatusExportRejectsTheInvalidHandleBeforeAnythingElse) {
    OpenDefault();
    void* bad = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    uint32_t count = 0, length = 4, value = 0;
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().GetPipeOverlappedResult(bad, &ov, &count, TRUE));
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().GetPipeOverlappedResult(bad, nullptr, nullptr, FALSE)) << "the handle comes first";
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().PipeAbort(bad, 0x81));
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().PipeFlush(bad, 0x81));
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().PipeReset(bad, 0x81));
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().SetPipePolicy(bad, 0x81, LWU_PIPE_TRANSFER_TIMEOUT, 4, &value));
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().GetPipePolicy(bad, 0x81, LWU_PIPE_TRANSFER_TIMEOUT, &length, &value));
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().SetTransferTimeoutPolicy(bad, 0x81, 0)) << "before the zero time-out test";
    EXPECT_EQ(LWU_BAD_HANDLE, lwu().GetTransferTimeoutPolicy(bad, 0x81, nullptr));
    EndpointPair pair;
    std::memset(&pair, 0xAB, sizeof pair);
    EXPECT_EQ(0u, lwu().QueryDeviceEndpoints(bad, &pair));
    EndpointPair untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    EXPECT_EQ(0, std::memcmp(&pair, &untouched, sizeof pair)) << "the record is not touched";
    EXPECT_EQ(0u, SimWorld_CallCount()) << "WinUSB is never asked";
}

TEST_F(Pipes, OverlappedResultNeedsBothPointers) {
    void* h = OpenDefault();
    OVERLAPPED ov{};
    uint32_t count = 0;
    EXPECT_EQ(LWU_BAD_ARGUMENT, lwu().GetPipeOverlappedResult(h, nullptr, &count, TRUE));
    EXPECT_EQ(LWU_BAD_ARGUMENT, lwu().GetPipeOverlappedResult(h, &ov, nullptr, FALSE));
    EXPECT_EQ(0u, SimWorld_CallCount());
}

// Each export's own success value, else the failing WinUSB call's error; 31 where that call left
// the last error at 0, and for PipeReset 50 where it left 1: no failure reads as success.
TEST_F(Pipes, EachExportReturnsItsSuccessValueOrTheFailuresCode) {
    int dev = 0;
    void* h = OpenDefault(&dev);
    HMODULE lib = library().module();
    using Outcomes = std::vector<std::pair<DWORD, uint32_t>>;   // the last error of the failing call, the result
    struct Row {
        const char* what;
        std::function<uint32_t(const DWORD* failWith)> call;   // its WinUSB call fails with *failWith when given
        uint32_t success;
        Outcomes failures;
    };
    // The next call of the operation on pipe 0x81 fails.
    auto viaWorld = [&dev](int operation, std::function<uint32_t()> call) {
        return [&dev, operation, call](const DWORD* failWith) {
            if (failWith) SimWorld_FailCall(dev, operation, 0x81, *failWith, 1);
            return call();
        };
    };
    // The result of an overlapped write, with WinUSB's answer failed through the import table.
    auto overlappedResult = [&](const DWORD* failWith) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const uint8_t data[4] = {1, 2, 3, 4};
        uint32_t count = 0;
        EXPECT_EQ(static_cast<uint32_t>(ERROR_IO_PENDING), api().PipeWrite(h, 0x01, data, 4, &count, &ov));
        uint32_t result = 0;
        {
            auto fault =
                FAIL_IMPORT(lib, WinUsb_GetOverlappedResult, FALSE, failWith ? *failWith : 0, failWith ? 1 : 0);
            result = lwu().GetPipeOverlappedResult(h, &ov, &count, TRUE);
        }
        EXPECT_EQ(0u, lwu().GetPipeOverlappedResult(h, &ov, &count, TRUE)) << "the transfer itself completes";
        CloseHandle(ov.hEvent);
        return result;
    };
    uint8_t on = 1;
    uint8_t value[8] = {};
    uint32_t length = 0;
    const DWORD gen = ERROR_GEN_FAILURE, function = ERROR_INVALID_FUNCTION, parameter = ERROR_INVALID_PARAMETER;
    const Row rows[] = {
        {"PipeAbort", viaWorld(SIM_OP_ABORT_PIPE, [&] { return lwu().PipeAbort(h, 0x81); }), 0,
         {{gen, gen}, {function, function}, {0, gen}}},
        {"PipeFlush", viaWorld(SIM_OP_FLUSH_PIPE, [&] { return lwu().PipeFlush(h, 0x81); }), 0,
         {{gen, gen}, {function, function}, {0, gen}}},
        {"PipeReset: WinUSB's TRUE, not 0", viaWorld(SIM_OP_RESET_PIPE, [&] { return lwu().PipeReset(h, 0x81); }), 1,
         {{gen, gen}, {function, ERROR_NOT_SUPPORTED}, {0, gen}}},
        {"SetPipePolicy",
         viaWorld(SIM_OP_SET_PIPE_POLICY, [&] { return lwu().SetPipePolicy(h, 0x81, kRawIo, 1, &on); }), 0,
         {{parameter, parameter}, {0, gen}}},
        {"GetPipePolicy", viaWorld(SIM_OP_GET_PIPE_POLICY, [&] {
             length = sizeof value;
             return lwu().GetPipePolicy(h, 0x81, kRawIo, &length, value);
         }),
         0, {{parameter, parameter}, {0, gen}}},
        {"SetTransferTimeoutPolicy",
         viaWorld(SIM_OP_SET_PIPE_POLICY, [&] { return lwu().SetTransferTimeoutPolicy(h, 0x81, 100); }), 0,
         {{parameter, parameter}, {0, gen}}},
        {"GetTransferTimeoutPolicy",
         viaWorld(SIM_OP_GET_PIPE_POLICY, [&] { return lwu().GetTransferTimeoutPolicy(h, 0x81, value); }), 0,
         {{parameter, parameter}, {0, gen}}},
        {"GetPipeOverlappedResult", overlappedResult, 0,
         {{ERROR_OPERATION_ABORTED, ERROR_OPERATION_ABORTED}, {0, gen}}},
    };
    StdoutCapture quiet;   // the transfer lines and the time-out policy's failure text
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.success, row.call(nullptr));
        for (const auto& failure : row.failures) {
            SCOPED_TRACE("last error " + std::to_string(failure.first));
            EXPECT_EQ(failure.second, row.call(&failure.first));
        }
    }

    SimWorld_ClearCalls();
    EXPECT_EQ(1u, lwu().PipeReset(h, 0x81));
    EXPECT_EQ((std::vector<int>{0x81}), PipeIdsOf("WinUsb_ResetPipe"));
    // A pipe the interface lacks: WinUSB's own error comes back from all three.
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), lwu().PipeAbort(h, 0x05));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), lwu().PipeFlush(h, 0x05));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), lwu().PipeReset(h, 0x05));
    // A handle WinUSB does not know is passed on, not judged here: on Windows a pointer into
    // foreign memory, which the world records as the caller's broken contract.
    void* stranger = reinterpret_cast<void*>(0x77);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), lwu().PipeReset(stranger, 0x81));
    EXPECT_EQ(1u, TakeViolations());
}

TEST_F(Pipes, PoliciesArePassedThroughAndKeptPerPipe) {
    int dev = 0;
    void* h = OpenDefault(&dev);
    uint8_t on = 1;
    EXPECT_EQ(0u, lwu().SetPipePolicy(h, 0x81, kRawIo, 1, &on));
    auto calls = RecordedCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0x81u, calls[0].call.args[1]);
    EXPECT_EQ(uint64_t{kRawIo}, calls[0].call.args[2]);
    EXPECT_EQ(1u, calls[0].call.args[3]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&on), calls[0].call.args[4]);

    uint8_t value[8] = {};
    uint32_t length = sizeof value;
    EXPECT_EQ(0u, lwu().GetPipePolicy(h, 0x81, kRawIo, &length, value));
    EXPECT_EQ(1u, length) << "WinUSB reports the size it stored";
    EXPECT_EQ(1, value[0]);
    length = sizeof value;
    EXPECT_EQ(0u, lwu().GetPipePolicy(h, 0x01, kRawIo, &length, value));
    EXPECT_EQ(0, value[0]) << "the other pipe keeps its own policy";
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), lwu().SetPipePolicy(h, 0x81, 0x77, 1, &on))
        << "WinUSB's refusal comes back as its error code";
}

TEST_F(Pipes, TransferTimeoutRoundTripsWithAPointerSizedLength) {
    int dev = 0;
    void* h = OpenDefault(&dev);
    EXPECT_EQ(0u, lwu().SetTransferTimeoutPolicy(h, 0x81, 250));
    EXPECT_EQ(250u, TimeoutInWorld(dev, 0x81));
    EXPECT_EQ(0u, TimeoutInWorld(dev, 0x01));
    auto set = RecordedCalls().at(0);
    EXPECT_EQ(uint64_t{LWU_PIPE_TRANSFER_TIMEOUT}, set.call.args[2]);
    EXPECT_EQ(4u, set.call.args[3]) << "a 32-bit value";

    SimWorld_ClearCalls();
    uint8_t value[8];
    std::memset(value, 0xCC, sizeof value);
    EXPECT_EQ(0u, lwu().GetTransferTimeoutPolicy(h, 0x81, value));
    auto get = RecordedCalls().at(0);
    EXPECT_EQ("WinUsb_GetPipePolicy", get.name());
    EXPECT_EQ(uint64_t{LWU_PIPE_TRANSFER_TIMEOUT}, get.call.args[2]);
    EXPECT_EQ(kPointerBytes, get.call.args[3]) << "the length offered is the size of a pointer of this build";
    uint32_t ms = 0;
    std::memcpy(&ms, value, 4);
    EXPECT_EQ(250u, ms);
    for (int i = 4; i < 8; ++i) EXPECT_EQ(0xCC, value[i]) << "WinUSB stores 4 bytes only";

    std::memset(value, 0, sizeof value);
    EXPECT_EQ(0u, lwu().GetTransferTimeoutPolicy(h, 0x00, value));
    std::memcpy(&ms, value, 4);
    EXPECT_EQ(5000u, ms) << "the control pipe's default";
}

TEST_F(Pipes, ZeroTimeoutIsRefusedAndLeavesThePolicy) {
    int dev = 0;
    void* h = OpenDefault(&dev);
    ASSERT_EQ(0u, lwu().SetTransferTimeoutPolicy(h, 0x81, 80));
    SimWorld_ClearCalls();
    StdoutCapture out;
    EXPECT_EQ(LWU_BAD_ARGUMENT, lwu().SetTransferTimeoutPolicy(h, 0x81, 0));
    EXPECT_EQ(80u, TimeoutInWorld(dev, 0x81));
    EXPECT_EQ(0u, SimWorld_CallCount());
    EXPECT_EQ("", out.Text());
}

TEST_F(Pipes, TimeoutFailurePrintsTheSystemText) {
    int dev = 0;
    void* h = OpenDefault(&dev);
    {
        StdoutCapture out;
        EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), lwu().SetTransferTimeoutPolicy(h, 0x07, 100));
        EXPECT_EQ("FAILED to SET pipe policy: " + SystemMessage(ERROR_INVALID_PARAMETER) + "\n", out.Text());
    }
    {
        SimWorld_FailCall(dev, SIM_OP_SET_PIPE_POLICY, 0x81, 0, 1);
        StdoutCapture out;
        EXPECT_EQ(static_cast<uint32_t>(ERROR_GEN_FAILURE), lwu().SetTransferTimeoutPolicy(h, 0x81, 100))
            << "a failure whose error reads 0 is no success";
        EXPECT_EQ("FAILED to SET pipe policy: \n", out.Text()) << "the platform gave no text";
        EXPECT_EQ(0u, TimeoutInWorld(dev, 0x81)) << "the call did fail";
    }
    // Reading never prints, also when it fails.
    StdoutCapture out;
    uint8_t value[8] = {};
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), lwu().GetTransferTimeoutPolicy(h, 0x07, value));
    EXPECT_EQ("", out.Text());
}

TEST_F(Pipes, DeviceDescriptorComesAsWinUsbGivesIt) {
    int dev = 0;
    void* h = OpenDefault(&dev);
    uint8_t buffer[32] = {};
    uint32_t received = 0;
    EXPECT_NE(0u, lwu().GetDeviceDescriptor(h, buffer, sizeof buffer, &received));
    EXPECT_EQ(18u, received);
    EXPECT_EQ(18, buffer[0]);
    EXPECT_EQ(1, buffer[1]);
    EXPECT_EQ(0x1209, buffer[8] | buffer[9] << 8);
    auto call = RecordedCalls().at(0);
    EXPECT_EQ(1u, call.call.args[1]) << "device descriptor type";
    EXPECT_EQ(0u, call.call.args[2]) << "index 0";
    EXPECT_EQ(0u, call.call.args[3]) << "language 0";

    const uint8_t odd[12] = {12, 1, 0, 2};
    SimWorld_SetDescriptor(dev, 1, 0, odd, sizeof odd);
    EXPECT_NE(0u, lwu().GetDeviceDescriptor(h, buffer, sizeof buffer, &received));
    EXPECT_EQ(12u, received) << "the length is not judged";

    SimWorld_ClearCalls();
    SetLastError(0);
    EXPECT_EQ(0u, lwu().GetDeviceDescriptor(INVALID_HANDLE_VALUE, buffer, sizeof buffer, &received));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << "the reason stays in the last error";
    EXPECT_EQ((Trace{"GetDescriptor"}), CallTrace()) << "the invalid handle goes to WinUSB";
    EXPECT_EQ(1u, TakeViolations()) << "which on Windows reads it as a pointer";
}

}  // namespace
