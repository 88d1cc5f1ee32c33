/* A host built for the MSVC target (clang --target=<arch>-pc-windows-msvc) and linked by lld-link
   against the kit's .lib import libraries. There is no Windows SDK here, so it declares what it
   calls itself, as the kit's headers do, and takes no C runtime: its entry point is HostMain.
   Some exports are declared dllimport (the call goes through __imp_Name), the others not (the
   call goes through the import library's Name thunk), so that both kinds of symbol are used. */

typedef unsigned int u32;
typedef struct DeviceSession {
    u32 isOpen;
    void* interfaceHandle;
    void* fileHandle;
} DeviceSession;
typedef void(__cdecl* DeviceNotificationCallback)(int action, const char* path);

#define IMPORTED __declspec(dllimport)
#define LWU_BAD_HANDLE 0x9002u

IMPORTED u32 __cdecl OpenDevice(DeviceSession* session, const char* path);
u32 __cdecl PipeAbort(void* handle, unsigned char pipeId);
IMPORTED u32 __cdecl CmRegisterNotification(DeviceNotificationCallback callback, const unsigned short* classGuid);
u32 __cdecl CmUnregisterNotification(DeviceNotificationCallback callback, const unsigned short* classGuid);
IMPORTED _Bool __cdecl LockInput(_Bool lock);
_Bool __cdecl IsBlocked(void);
IMPORTED void __cdecl AllowKeyboardEvent(u32 eventType);

/* kernel32, from an import library the build makes of kernel32-<width>.def */
IMPORTED void* __stdcall GetStdHandle(unsigned long which);
IMPORTED int __stdcall WriteFile(void* file, const void* data, unsigned long size, unsigned long* written, void* overlapped);
IMPORTED __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define INVALID_HANDLE_VALUE ((void*)(__INTPTR_TYPE__)-1)

static u32 failures;
static int present;

static void Say(const char* text) {
    unsigned long length = 0, written = 0;
    while (text[length] != 0) ++length;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static void Expect(int ok, const char* what) {
    Say(ok ? "ok: " : "FAILED: ");
    Say(what);
    Say("\r\n");
    if (!ok) ++failures;
}

static void __cdecl CountInterface(int action, const char* path) {
    (void)path;
    if (action == 1) ++present;
}

void __cdecl HostMain(void) {
    static const unsigned short kClass[] = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}";
    DeviceSession session = {7, 0, 0};
    Expect(OpenDevice(&session, "\\\\?\\C:\\no-such-device") == 0x80070002u && session.isOpen == 0,
           "OpenDevice of a path that names no device: 0x80070002, session not open");
    Expect(PipeAbort(INVALID_HANDLE_VALUE, 0x81) == LWU_BAD_HANDLE, "PipeAbort(INVALID_HANDLE_VALUE): LWU_BAD_HANDLE");
    Expect(CmRegisterNotification(CountInterface, kClass) == 0 && present == 0,
           "CmRegisterNotification: 0, no interface present");
    Expect(CmUnregisterNotification(CountInterface, kClass) == 0, "CmUnregisterNotification: 0");
    Expect(!IsBlocked(), "IsBlocked before the lock: false");
    Expect(LockInput(1) && IsBlocked(), "LockInput(true): the lock is on");
    AllowKeyboardEvent(0x0100);
    Expect(LockInput(0) && !IsBlocked(), "LockInput(false): the lock is off");
    Say(failures == 0 ? "0 failures\r\n" : "some checks failed\r\n");
    ExitProcess(failures == 0 ? 0 : 1);
}
