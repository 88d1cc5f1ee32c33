// Opening and closing devices: the handshake, failures and the closing sequence as the device sees them.
#include <functional>

#include "import_patch.h"
#include "pipes_host.h"

namespace {

using Trace = std::vector<std::string>;

bool HandleIsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

// FormatMessageA's own type: its last argument, a va_list pointer, carries attributes a template
// argument drops; any pointer passes the same way.
using FormatMessageAPointer = DWORD(WINAPI*)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, void*);

class Session : public UsbHostTest {
protected:
    uint32_t last_ = 0;
};

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

// A version request that brings no byte ends the handshake, and the framing in force stays.
TEST_F(Session, VersionRequestWithoutItsByteKeepsTheVersion) {
    struct Row {
        const char* what;
        std::function<void(int device)> fault;
    };
    const Row rows[] = {
        {"answered without its byte",
         [](int device) { SimWorld_ShortTransfer(device, SIM_OP_CONTROL_TRANSFER, 0x81, 0, 1); }},
        {"failed with last error 0",
         [](int device) { SimWorld_FailCall(device, SIM_OP_CONTROL_TRANSFER, 0x81, 0, 1); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        OpenFresh(2);
        api().CloseDevice(&session_);
        std::string path;
        int id = AddDevice(0, &path);
        row.fault(id);
        SimWorld_ClearCalls();
        ASSERT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
        EXPECT_EQ((Trace{"Initialize", "Control C1/81"}), CallTrace());
        SimWorld_ClearCalls();
        uint32_t length = 77;
        EXPECT_EQ(LWU_READ_EMPTY, api().Read(session_.interfaceHandle, 0x81, nullptr, &length));
        EXPECT_EQ((Trace{"Control C1/84"}), CallTrace()) << "still version 2: no status request";
        EXPECT_EQ(0u, length);
        SimWorld_ClearCalls();
        uint8_t message[4] = {1, 2, 3, 4};
        StdoutCapture quiet;
        EXPECT_EQ(1u, api().Write(session_.interfaceHandle, 0x01, message, sizeof message));
        EXPECT_EQ((Trace{"WritePipe", "ResetPipe"}), CallTrace()) << "still version 2: the message goes alone";
        api().CloseDevice(&session_);
    }
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

// What a failing platform call of OpenDevice leaves: the status, the text written, the session.
TEST_F(Session, OpenFailuresReturnTheSystemsErrorAndLeaveTheSessionClosed) {
    HMODULE lib = library().module();
    struct Row {
        const char* what;
        bool reachesWinUsb;   // the file opens and WinUSB is asked
        DWORD winusbError;    // the device's WinUSB refuses it with this error, or 0
        std::function<std::string()> failAndOpen;   // injects the failure, opens, returns the text written
        uint32_t status;
        std::function<std::string()> text;
        bool fileLeftOpen;
    };
    bool fileOpen = false;
    auto open = [this, &fileOpen](const std::string& path) {
        StdoutCapture out;
        last_ = api().OpenDevice(&session_, path.c_str());
        // Asked now: the capture's own handles, coming and going, may take a closed handle's value.
        fileOpen = HandleIsOpen(session_.fileHandle);
        return out.Text();
    };
    std::string path;
    int device = 0;
    const Row rows[] = {
        {"CreateFileA refused: device in use", false, 0,
         [&] {
             auto fault = FAIL_IMPORT(lib, CreateFileA, INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
             return open(path);
         },
         0x80070020u, [] { return "CreateFile failed: " + SystemMessage(ERROR_SHARING_VIOLATION); }, false},
        {"CreateFileA refused: access denied", false, 0,
         [&] {
             auto fault = FAIL_IMPORT(lib, CreateFileA, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             return open(path);
         },
         0x80070005u, [] { return "CreateFile failed: " + SystemMessage(ERROR_ACCESS_DENIED); }, false},
        {"CreateFileA fails with last error 0", false, 0,
         [&] {
             auto fault = FAIL_IMPORT(lib, CreateFileA, INVALID_HANDLE_VALUE, 0);
             return open(path);
         },
         0x8007001Fu, [] { return std::string("CreateFile failed: "); }, false},
        {"FormatMessageA finds no text", false, 0,
         [&] {
             auto fault = FAIL_IMPORT(lib, CreateFileA, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             auto noText = FAIL_IMPORT_AS(lib, FormatMessageA, FormatMessageAPointer, DWORD{0}, ERROR_MR_MID_NOT_FOUND);
             std::string text = open(path);
             EXPECT_EQ(1, noText.failed());
             return text;
         },
         0x80070005u, [] { return std::string("CreateFile failed: "); }, false},
        {"LocalFree cannot release the system text", false, 0,
         [&] {
             auto fault = FAIL_IMPORT(lib, CreateFileA, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
             auto kept = FAIL_IMPORT(lib, LocalFree, reinterpret_cast<HLOCAL>(1), ERROR_INVALID_HANDLE);
             std::string text = open(path);
             EXPECT_EQ(1, kept.failed());
             return text;
         },
         0x80070005u, [] { return "CreateFile failed: " + SystemMessage(ERROR_ACCESS_DENIED); }, false},
        {"WinUsb_Initialize refused and CloseHandle fails", true, ERROR_NOT_SUPPORTED,
         [&] {
             auto fault = FAIL_IMPORT(lib, CloseHandle, FALSE, ERROR_INVALID_HANDLE);
             std::string text = open(path);
             EXPECT_EQ(1, fault.failed());
             return text;
         },
         0x80070032u, [] { return "WinUsb_Initialize failed: " + SystemMessage(ERROR_NOT_SUPPORTED); }, true},
        {"WinUsb_Initialize fails with last error 0", true, 0,
         [&] {
             SimWorld_FailCall(device, SIM_OP_INITIALIZE, SIM_ANY, 0, 1);
             return open(path);
         },
         0x8007001Fu, [] { return std::string("WinUsb_Initialize failed: "); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        c.winusbError = row.winusbError;
        device = AddDevice(c, &path);
        SimWorld_ClearCalls();
        session_ = DeviceSession{};
        std::string text = row.failAndOpen();
        EXPECT_EQ(row.status, last_);
        EXPECT_EQ(row.text(), text);
        EXPECT_EQ(0u, session_.isOpen);
        if (!row.reachesWinUsb) {
            EXPECT_EQ(INVALID_HANDLE_VALUE, session_.fileHandle);
            EXPECT_EQ(0u, SimWorld_CallCount()) << "WinUSB is never asked";
        }
        EXPECT_EQ(row.fileLeftOpen, row.reachesWinUsb && fileOpen);
        if (row.fileLeftOpen) CloseHandle(session_.fileHandle);   // what the failed close left
    }
}

// CloseDevice makes every call of its sequence whatever the one before gave, and closes the session.
TEST_F(Session, CloseCarriesOnPastEachFailingCall) {
    HMODULE lib = library().module();
    struct Row {
        const char* what;
        int operation;       // a WinUSB call the world fails, or 0
        bool closeHandleFails;
        uint32_t cachedAfter;   // bytes a read left in pipe 0x81
    } const rows[] = {
        {"WinUsb_FlushPipe fails", SIM_OP_FLUSH_PIPE, false, 6},
        {"WinUsb_ResetPipe fails", SIM_OP_RESET_PIPE, false, 0},
        {"WinUsb_Free fails", SIM_OP_FREE, false, 0},
        {"CloseHandle fails", 0, true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int dev = 0;
        std::string path;
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        dev = AddDevice(c, &path);
        ASSERT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
        LinkWinUsbApi pipes(library());
        EndpointPair pair{};
        char buffer[4];
        uint32_t count = 0;
        {
            StdoutCapture quiet;
            ASSERT_NE(0u, pipes.QueryDeviceEndpoints(session_.interfaceHandle, &pair));
            SimWorld_QueueMessage(dev, "0123456789", 10);
            ASSERT_EQ(0u, api().PipeRead(session_.interfaceHandle, 0x81, buffer, sizeof buffer, &count, nullptr));
        }
        ASSERT_EQ(6u, SimWorld_PipeCachedBytes(dev, 0x81));
        HANDLE file = session_.fileHandle;
        void* handle = session_.interfaceHandle;
        if (row.operation) {
            bool free = row.operation == SIM_OP_FREE;
            SimWorld_FailCall(dev, row.operation, free ? SIM_ANY : 0x81, free ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE, 1);
        }
        SimWorld_ClearCalls();
        {
            auto closeFails = FAIL_IMPORT(lib, CloseHandle, FALSE, ERROR_INVALID_HANDLE, row.closeHandleFails ? 1 : 0);
            api().CloseDevice(&session_);
            EXPECT_EQ(1, closeFails.calls()) << "the file handle is closed in every case";
        }
        EXPECT_EQ((Trace{"Control 41/80", "FlushPipe", "ResetPipe", "FlushPipe", "ResetPipe", "Free"}), CallTrace());
        EXPECT_EQ(0u, session_.isOpen);
        EXPECT_EQ(row.cachedAfter, SimWorld_PipeCachedBytes(dev, 0x81));
        EXPECT_EQ(row.closeHandleFails, HandleIsOpen(file));
        if (row.closeHandleFails) CloseHandle(file);
        if (row.operation == SIM_OP_FREE) {
            EXPECT_EQ(1u, pipes.PipeReset(handle, 0x81)) << "a failed free leaves the interface as it was";
        }
        SimWorld_ClearCalls();
        api().CloseDevice(&session_);
        EXPECT_EQ(0u, SimWorld_CallCount()) << "the session is closed: closing again sends nothing";
    }
}

TEST_F(Session, NullSessionIsRejected) {
    EXPECT_EQ(LWU_BAD_ARGUMENT, api().OpenDevice(nullptr, "x"));
    api().CloseDevice(nullptr);
}

}  // namespace
