// Answers of broken or hostile devices that once harmed the host, each replayed on its own:
// what the platform may hand back (within its contracts) and what the library must make of it.
#include <winusb.h>

#include "import_patch.h"
#include "usb_host.h"

namespace {

// The library's own WinUsb_ControlTransfer import, pointed at a device that fails the version
// request (0x81) after its data stage: the byte has arrived, the status stage fails.
struct VersionByteThenFailure {
    static BOOL WINAPI Transfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer, ULONG length,
                                PULONG transferred, LPOVERLAPPED overlapped) {
        if (setup.RequestType == 0xC1 && setup.Request == 0x81 && buffer && length >= 1) {
            buffer[0] = 0;   // protocol version 0: the framing with the most requests
            if (transferred) *transferred = 0;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        return original(handle, setup, buffer, length, transferred, overlapped);
    }
    static decltype(&WinUsb_ControlTransfer) original;
};
decltype(&WinUsb_ControlTransfer) VersionByteThenFailure::original = nullptr;

class HostileDevice : public UsbHostTest {};

// Found by the fuzzer (a random device failing request 0x81 with its byte delivered): the
// library received the byte straight into the version in force, so a failed handshake changed
// the framing of every session of the process.
TEST_F(HostileDevice, FailedVersionRequestKeepsTheVersionInForce) {
    std::string first;
    std::string second;
    AddDevice(2, &first);
    int device = AddDevice(2, &second);
    DeviceSession a{};
    ASSERT_EQ(0u, api().OpenDevice(&a, first.c_str()));   // version 2: messages go as bulk data alone
    DeviceSession b{};
    {
        ImportPatch patch(library().module(), "WinUsb_ControlTransfer",
                          reinterpret_cast<void*>(&VersionByteThenFailure::Transfer));
        VersionByteThenFailure::original = patch.original<decltype(&WinUsb_ControlTransfer)>();
        StdoutCapture out;
        ASSERT_EQ(0u, api().OpenDevice(&b, second.c_str()));
    }
    SimWorld_ClearCalls();
    uint8_t message[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    StdoutCapture out;
    EXPECT_EQ(1u, api().Write(b.interfaceHandle, 0x01, message, sizeof message));
    EXPECT_EQ((std::vector<std::string>{"WritePipe", "ResetPipe"}), CallTrace());
    EXPECT_EQ(1u, SimWorld_ReceivedCount(device));
    api().CloseDevice(&b);
    api().CloseDevice(&a);
}

}  // namespace
