// The two faces' functions, bound by name from the setupapi.dll and cfgmgr32.dll that this
// process loaded (ours, through the program's DLL overrides: a Wine DLL in their place makes
// Bind fail, since only our setupapi has VarkoRealstack_WindowNotificationFunction).
#pragma once
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <stdexcept>
#include <string>

const GUID kMakerClass = {0x8f0a6c3e, 0x5b1d, 0x4c2a, {0x9e, 0x7f, 0x3d, 0x2b, 0x1a, 0x0c, 0x9e, 0x8d}};
#define MAKER_CLASS_TEXT L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}"

struct Faces {
    decltype(&::SetupDiGetClassDevsA) GetClassDevs = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) EnumInterfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) GetDetail = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) Destroy = nullptr;
    CONFIGRET(WINAPI* CmRegister)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION) = nullptr;
    CONFIGRET(WINAPI* CmUnregister)(HCMNOTIFICATION) = nullptr;
    DWORD(WINAPI* CmMap)(CONFIGRET, DWORD) = nullptr;
    decltype(&::RegisterDeviceNotificationA) RegisterWindow = nullptr;
    decltype(&::UnregisterDeviceNotification) UnregisterWindow = nullptr;

    void Bind() {
        HMODULE setup = LoadLibraryA("setupapi.dll");
        HMODULE cm = LoadLibraryA("cfgmgr32.dll");
        if (!setup || !cm) throw std::runtime_error("setupapi.dll or cfgmgr32.dll does not load");
        auto get = [](HMODULE m, const char* name) {
            FARPROC p = GetProcAddress(m, name);
            if (!p) throw std::runtime_error(std::string("not the real stack's face: no ") + name);
            return reinterpret_cast<void*>(p);
        };
        auto which = reinterpret_cast<void*(*)(const char*)>(get(setup, "VarkoRealstack_WindowNotificationFunction"));
        GetClassDevs = reinterpret_cast<decltype(GetClassDevs)>(get(setup, "SetupDiGetClassDevsA"));
        EnumInterfaces = reinterpret_cast<decltype(EnumInterfaces)>(get(setup, "SetupDiEnumDeviceInterfaces"));
        GetDetail = reinterpret_cast<decltype(GetDetail)>(get(setup, "SetupDiGetDeviceInterfaceDetailA"));
        Destroy = reinterpret_cast<decltype(Destroy)>(get(setup, "SetupDiDestroyDeviceInfoList"));
        CmRegister = reinterpret_cast<decltype(CmRegister)>(get(cm, "CM_Register_Notification"));
        CmUnregister = reinterpret_cast<decltype(CmUnregister)>(get(cm, "CM_Unregister_Notification"));
        CmMap = reinterpret_cast<decltype(CmMap)>(get(cm, "CM_MapCrToWin32Err"));
        RegisterWindow = reinterpret_cast<decltype(RegisterWindow)>(which("RegisterDeviceNotificationA"));
        UnregisterWindow = reinterpret_cast<decltype(UnregisterWindow)>(which("UnregisterDeviceNotification"));
        if (!RegisterWindow || !UnregisterWindow) throw std::runtime_error("the window registration functions are missing");
    }
};

inline Faces& TheFaces() {
    static Faces faces;
    return faces;
}
