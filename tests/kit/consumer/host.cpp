// A host of both kit libraries, linked at load time through the kit's import libraries. Under
// Wine it runs beside the substitute winusb/setupapi/cfgmgr32 DLLs, without which LinkWinUsb.dll
// does not load there (Wine's lack functions it imports); no device is present.
#include <LinkWinUsb.h>
#include <inputgate.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

std::string Folder(HMODULE module) {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    std::string text(path, length);
    return text.substr(0, text.find_last_of('\\') + 1);
}

int presentInterfaces = 0;

void LWU_CALL CountInterface(int32_t action, const char*) {
    if (action == LWU_DEVICE_ARRIVAL) ++presentInterfaces;
}

const wchar_t kClass[] = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}";

}  // namespace

int main() {
    // The loader bound the kit's libraries, the ones beside this program.
    HMODULE link = GetModuleHandleA("LinkWinUsb.dll");
    HMODULE gate = GetModuleHandleA(sizeof(void*) == 8 ? "inputgate64.dll" : "inputgate32.dll");
    Expect(link != nullptr && Folder(link) == Folder(nullptr), "LinkWinUsb.dll is loaded from the program's folder");
    Expect(gate != nullptr && Folder(gate) == Folder(nullptr), "the input lock DLL of this width is loaded from the program's folder");

    DeviceSession session = {};
    Expect(OpenDevice(&session, "\\\\?\\C:\\no-such-device") == 0x80070002u && session.isOpen == 0,
           "OpenDevice of a path that names no device: 0x80070002, session not open");
    Expect(PipeAbort(INVALID_HANDLE_VALUE, 0x81) == LWU_BAD_HANDLE, "PipeAbort(INVALID_HANDLE_VALUE): LWU_BAD_HANDLE");
    UsbDeviceDetail detail = {};
    Expect(GetUsbDeviceDetail(&detail, "\\\\?\\C:\\no-such-device") == 0 && detail.manufacturer == nullptr,
           "GetUsbDeviceDetail of a missing device: 0, nothing written");
    FreeUsbDeviceDetail(&detail);

    Expect(CmRegisterNotification(CountInterface, L"not a GUID") == ERROR_INVALID_PARAMETER,
           "CmRegisterNotification with unreadable GUID text: ERROR_INVALID_PARAMETER");
    Expect(CmRegisterNotification(CountInterface, kClass) == 0 && presentInterfaces == 0,
           "CmRegisterNotification: 0, no interface present");
    Expect(CmUnregisterNotification(CountInterface, kClass) == 0, "CmUnregisterNotification: 0");

    Expect(!IsBlocked(), "IsBlocked before the lock: false");
    Expect(LockInput(true) && IsBlocked(), "LockInput(true): the lock is on");
    AllowKeyboardEvent(WM_KEYDOWN);
    AllowMouseEvent(WM_MOUSEMOVE);
    Expect(LockInput(false) && !IsBlocked(), "LockInput(false): the lock is off");

    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
