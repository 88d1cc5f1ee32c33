// Opening and closing devices: the handshake, failures and the closing sequence as the device sees them.
#include "usb_host.h"

namespace {

using Trace = std::vector<std::string>;

bool HandleIsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

class Session : public UsbHostTest {};

TEST_F(Session, OpenRunsTheHandshakeAndOpensTheSession) {
    std::string path;
    AddDevice(1, &path);
    SimWorld_ClearCalls();
    ASSERT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
    EXPECT_EQ(1u, session_.isOpen);
    EXPECT_TRUE(HandleIsOpen(session_.fileHandle));
    EXPECT_EQ((Trace{"Initialize", "Control C1/81", "Control C1/83", "Control 41/80"}), CallTrace());
    auto calls = RecordedCalls();
    EXPECT_EQ(1, calls[1].length());
    EXPECT_EQ(4, calls[2].length());
    EXPECT_EQ(0, calls[3].length());
    // The handshake set version 1: a write now announces its length with 0x85.
    SimWorld_ClearCalls();
    uint8_t msg[3] = {1, 2, 3};
    EXPECT_EQ(1u, api().Write(session_.interfaceHandle, 0x01, msg, 3));
    EXPECT_EQ("Control 41/85", CallTrace().at(0));
}

TEST_F(Session, MissingPathFailsWithTheHresultAndTheSystemText) {
    StdoutCapture out;
    session_.isOpen = 1;
    session_.interfaceHandle = reinterpret_cast<void*>(0x1234);
    uint32_t status = api().OpenDevice(&session_, "\\\\?\\C:\\simworld\\no-such-device");
    EXPECT_EQ(0x80070002u, status);
    EXPECT_EQ(0u, session_.isOpen);
    EXPECT_EQ(INVALID_HANDLE_VALUE, session_.fileHandle);
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), session_.interfaceHandle) << "interface handle is not touched";
    EXPECT_EQ("CreateFile failed: " + SystemMessage(ERROR_FILE_NOT_FOUND), out.Text());
    EXPECT_EQ(0u, SimWorld_CallCount()) << "WinUSB is never asked";
}

TEST_F(Session, RemovedDeviceNoLongerOpens) {
    std::string path;
    int id = AddDevice(2, &path);
    SimWorld_RemoveDevice(id);
    StdoutCapture out;
    EXPECT_EQ(0x80070002u, api().OpenDevice(&session_, path.c_str()));
    EXPECT_EQ(0u, session_.isOpen);
}

TEST_F(Session, WinUsbRefusalClosesTheFileAndReportsTheHresult) {
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.winusbError = ERROR_NOT_SUPPORTED;
    std::string path;
    AddDevice(c, &path);
    StdoutCapture out;
    EXPECT_EQ(0x80070032u, api().OpenDevice(&session_, path.c_str()));
    EXPECT_EQ(0u, session_.isOpen);
    EXPECT_FALSE(HandleIsOpen(session_.fileHandle)) << "the file handle must be closed";
    EXPECT_EQ("WinUsb_Initialize failed: " + SystemMessage(ERROR_NOT_SUPPORTED), out.Text());
    EXPECT_EQ((Trace{"Initialize"}), CallTrace());
}

TEST_F(Session, DeviceIgnoringTheHandshakeIsOpenedWithTheFramingAlreadyInForce) {
    void* first = OpenFresh(1);
    DeviceSession firstSession = session_;
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.answersHandshake = 0;
    c.protocolVersion = 2;
    std::string path;
    AddDevice(c, &path);
    DeviceSession silent{};
    SimWorld_ClearCalls();
    ASSERT_EQ(0u, api().OpenDevice(&silent, path.c_str()));
    EXPECT_EQ(1u, silent.isOpen);
    EXPECT_EQ((Trace{"Initialize", "Control C1/81"}), CallTrace()) << "a failing step ends the handshake";
    SimWorld_ClearCalls();
    uint8_t msg[2] = {9, 9};
    EXPECT_EQ(1u, api().Write(silent.interfaceHandle, 0x01, msg, 2));
    EXPECT_EQ("Control 41/85", CallTrace().at(0)) << "version 1 of the first device still frames";
    api().CloseDevice(&silent);
    (void)first;
    api().CloseDevice(&firstSession);
}

TEST_F(Session, VersionRequestWithoutItsByteKeepsTheVersion) {
    OpenFresh(2);
    api().CloseDevice(&session_);
    int id = 0;
    std::string path;
    id = AddDevice(0, &path);
    SimWorld_ShortTransfer(id, SIM_OP_CONTROL_TRANSFER, 0x81, 0, 1);
    SimWorld_ClearCalls();
    ASSERT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
    EXPECT_EQ((Trace{"Initialize", "Control C1/81"}), CallTrace());
    SimWorld_ClearCalls();
    uint32_t length = 77;
    EXPECT_EQ(LWU_READ_EMPTY, api().Read(session_.interfaceHandle, 0x81, nullptr, &length));
    EXPECT_EQ((Trace{"Control C1/84"}), CallTrace()) << "still version 2: no status request";
    EXPECT_EQ(0u, length);
}

TEST_F(Session, CloseSendsTheSessionRequestFlushesResetsAndReleases) {
    OpenFresh(2);
    HANDLE file = session_.fileHandle;
    void* handle = session_.interfaceHandle;
    api().CloseDevice(&session_);
    // A freshly loaded library's pipe table is all zero: pipe ID 0 in every entry.
    EXPECT_EQ((Trace{"Control 41/80", "FlushPipe", "ResetPipe", "FlushPipe", "ResetPipe", "FlushPipe", "ResetPipe",
                     "FlushPipe", "ResetPipe", "Free"}),
              CallTrace());
    EXPECT_EQ(0u, session_.isOpen);
    EXPECT_FALSE(HandleIsOpen(file));
    EXPECT_EQ(handle, session_.interfaceHandle) << "stale values stay";
    SimWorld_ClearCalls();
    api().CloseDevice(&session_);
    EXPECT_EQ(0u, SimWorld_CallCount()) << "closing twice sends nothing";
}

TEST_F(Session, NullSessionIsRejected) {
    EXPECT_EQ(LWU_BAD_ARGUMENT, api().OpenDevice(nullptr, "x"));
    api().CloseDevice(nullptr);
}

}  // namespace
