// The faces' contracts, called as LinkWinUsb calls them and as it must not: one row a check.
#include "face_contracts.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "realstack_faces.h"

namespace {

struct Row {
    const char* name;
    std::function<bool(std::string& seen)> check;   // true when it behaved as the platform does
};

const GUID kOtherClass = {0x12345678, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

std::string Code(BOOL ok, DWORD error) {
    char text[48];
    std::snprintf(text, sizeof text, "%s, error %lu", ok ? "TRUE" : "FALSE", static_cast<unsigned long>(error));
    return text;
}

// The set's interface 0, for the rows that need one.
bool FirstInterface(const Faces& f, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& item) {
    item = SP_DEVICE_INTERFACE_DATA{};
    item.cbSize = sizeof item;
    return f.EnumInterfaces(set, nullptr, &kMakerClass, 0, &item) != FALSE;
}

DWORD CALLBACK IgnoreEvent(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) { return 0; }

}  // namespace

int RunFaceContracts(unsigned expectedPresent) {
    const Faces& f = TheFaces();
    std::vector<Row> rows = {
        {"SetupDiGetClassDevsA without DIGCF_DEVICEINTERFACE fails with ERROR_INVALID_FLAGS",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(&kMakerClass, nullptr, nullptr, DIGCF_PRESENT);
             DWORD e = GetLastError();
             seen = Code(set != INVALID_HANDLE_VALUE, e);
             return set == INVALID_HANDLE_VALUE && e == ERROR_INVALID_FLAGS;
         }},
        {"SetupDiGetClassDevsA without a class or DIGCF_ALLCLASSES fails with ERROR_INVALID_PARAMETER",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             DWORD e = GetLastError();
             seen = Code(set != INVALID_HANDLE_VALUE, e);
             return set == INVALID_HANDLE_VALUE && e == ERROR_INVALID_PARAMETER;
         }},
        {"the maker's class lists the present devices, then ERROR_NO_MORE_ITEMS",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(&kMakerClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             if (set == INVALID_HANDLE_VALUE) return false;
             SP_DEVICE_INTERFACE_DATA item{};
             item.cbSize = sizeof item;
             DWORD n = 0;
             while (f.EnumInterfaces(set, nullptr, &kMakerClass, n, &item)) ++n;
             DWORD e = GetLastError();
             f.Destroy(set);
             seen = std::to_string(n) + " interfaces, then error " + std::to_string(e);
             return n == expectedPresent && e == ERROR_NO_MORE_ITEMS;
         }},
        {"another class has no interfaces",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(&kOtherClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             SP_DEVICE_INTERFACE_DATA item{};
             item.cbSize = sizeof item;
             BOOL ok = f.EnumInterfaces(set, nullptr, &kOtherClass, 0, &item);
             DWORD e = GetLastError();
             f.Destroy(set);
             seen = Code(ok, e);
             return set != INVALID_HANDLE_VALUE && !ok && e == ERROR_NO_MORE_ITEMS;
         }},
        {"SetupDiEnumDeviceInterfaces with a wrong cbSize fails with ERROR_INVALID_USER_BUFFER",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(&kMakerClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             SP_DEVICE_INTERFACE_DATA item{};
             item.cbSize = sizeof item + 1;
             BOOL ok = f.EnumInterfaces(set, nullptr, &kMakerClass, 0, &item);
             DWORD e = GetLastError();
             f.Destroy(set);
             seen = Code(ok, e);
             return !ok && e == ERROR_INVALID_USER_BUFFER;
         }},
        {"the detail without a buffer reports its size and ERROR_INSUFFICIENT_BUFFER; a small buffer too; "
         "a fitting one gets the path",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(&kMakerClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             SP_DEVICE_INTERFACE_DATA item;
             if (!FirstInterface(f, set, item)) {
                 f.Destroy(set);
                 seen = "no interface to ask about";
                 return expectedPresent == 0;
             }
             DWORD required = 0;
             BOOL sizeOk = f.GetDetail(set, &item, nullptr, 0, &required, nullptr);
             DWORD sizeError = GetLastError();
             std::vector<uint64_t> storage(required / 8 + 1);
             auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
             detail->cbSize = sizeof *detail;
             BOOL smallOk = f.GetDetail(set, &item, detail, required - 1, nullptr, nullptr);
             DWORD smallError = GetLastError();
             detail->cbSize = sizeof *detail + 1;
             BOOL wrongOk = f.GetDetail(set, &item, detail, required, nullptr, nullptr);
             DWORD wrongError = GetLastError();
             detail->cbSize = sizeof *detail;
             BOOL ok = f.GetDetail(set, &item, detail, required, nullptr, nullptr);
             std::string path = ok ? detail->DevicePath : "";
             f.Destroy(set);
             seen = "size " + std::to_string(required) + " (" + Code(sizeOk, sizeError) + "), small (" +
                    Code(smallOk, smallError) + "), wrong cbSize (" + Code(wrongOk, wrongError) + "), path " + path;
             return !sizeOk && sizeError == ERROR_INSUFFICIENT_BUFFER &&
                    required == offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1 && !smallOk &&
                    smallError == ERROR_INSUFFICIENT_BUFFER && !wrongOk && wrongError == ERROR_INVALID_USER_BUFFER &&
                    ok && path.rfind("\\\\?\\", 0) == 0;
         }},
        {"SetupDiDestroyDeviceInfoList of a destroyed set fails with ERROR_INVALID_HANDLE",
         [&](std::string& seen) {
             HDEVINFO set = f.GetClassDevs(&kMakerClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
             BOOL first = f.Destroy(set);
             BOOL second = f.Destroy(set);
             DWORD e = GetLastError();
             seen = "first " + Code(first, 0) + ", second " + Code(second, e);
             return first && !second && e == ERROR_INVALID_HANDLE;
         }},
        {"CM_Register_Notification without a callback fails with CR_INVALID_POINTER",
         [&](std::string& seen) {
             CM_NOTIFY_FILTER filter{};
             filter.cbSize = sizeof filter;
             filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
             filter.u.DeviceInterface.ClassGuid = kMakerClass;
             HCMNOTIFICATION handle = nullptr;
             CONFIGRET r = f.CmRegister(&filter, nullptr, nullptr, &handle);
             seen = "CONFIGRET " + std::to_string(r);
             return r == CR_INVALID_POINTER;
         }},
        {"CM_Register_Notification with a wrong cbSize fails with CR_INVALID_DATA",
         [&](std::string& seen) {
             CM_NOTIFY_FILTER filter{};
             filter.cbSize = sizeof filter - 4;
             filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
             HCMNOTIFICATION handle = nullptr;
             CONFIGRET r = f.CmRegister(&filter, nullptr, IgnoreEvent, &handle);
             seen = "CONFIGRET " + std::to_string(r);
             return r == CR_INVALID_DATA;
         }},
        {"a Configuration Manager registration is released once; a second release gives CR_INVALID_POINTER",
         [&](std::string& seen) {
             CM_NOTIFY_FILTER filter{};
             filter.cbSize = sizeof filter;
             filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
             filter.u.DeviceInterface.ClassGuid = kMakerClass;
             HCMNOTIFICATION handle = nullptr;
             CONFIGRET r = f.CmRegister(&filter, nullptr, IgnoreEvent, &handle);
             CONFIGRET first = f.CmUnregister(handle);
             CONFIGRET second = f.CmUnregister(handle);
             seen = "register " + std::to_string(r) + ", release " + std::to_string(first) + ", again " +
                    std::to_string(second);
             return r == CR_SUCCESS && handle && first == CR_SUCCESS && second == CR_INVALID_POINTER;
         }},
        {"CM_MapCrToWin32Err maps what has an equivalent and gives the default for the rest",
         [&](std::string& seen) {
             struct {
                 CONFIGRET code;
                 DWORD expected;
             } table[] = {{CR_SUCCESS, ERROR_SUCCESS}, {CR_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
                          {CR_INVALID_POINTER, ERROR_INVALID_USER_BUFFER}, {CR_INVALID_FLAG, ERROR_INVALID_FLAGS},
                          {CR_INVALID_DATA, ERROR_INVALID_DATA}, {CR_BUFFER_SMALL, ERROR_INSUFFICIENT_BUFFER},
                          {CR_NO_SUCH_DEVICE_INTERFACE, ERROR_NOT_FOUND}, {CR_DEFAULT, 4242}};
             for (const auto& t : table) {
                 DWORD got = f.CmMap(t.code, 4242);
                 if (got != t.expected) {
                     seen = "code " + std::to_string(t.code) + " gave " + std::to_string(got);
                     return false;
                 }
             }
             seen = std::to_string(sizeof table / sizeof table[0]) + " codes as expected";
             return true;
         }},
        {"a window registration needs a window: ERROR_INVALID_PARAMETER",
         [&](std::string& seen) {
             DEV_BROADCAST_DEVICEINTERFACE_A filter{};
             filter.dbcc_size = sizeof filter;
             filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
             filter.dbcc_classguid = kMakerClass;
             HDEVNOTIFY h = f.RegisterWindow(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234)), &filter,
                                             DEVICE_NOTIFY_WINDOW_HANDLE);
             DWORD e = GetLastError();
             seen = Code(h != nullptr, e);
             return h == nullptr && e == ERROR_INVALID_PARAMETER;
         }},
        {"a window registration of another device type fails with ERROR_INVALID_DATA; one made is released once",
         [&](std::string& seen) {
             HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
             DEV_BROADCAST_DEVICEINTERFACE_A filter{};
             filter.dbcc_size = sizeof filter;
             filter.dbcc_devicetype = DBT_DEVTYP_HANDLE;
             filter.dbcc_classguid = kMakerClass;
             HDEVNOTIFY wrong = f.RegisterWindow(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
             DWORD wrongError = GetLastError();
             filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
             HDEVNOTIFY h = f.RegisterWindow(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
             BOOL first = f.UnregisterWindow(h);
             BOOL second = f.UnregisterWindow(h);
             DWORD e = GetLastError();
             DestroyWindow(window);
             seen = "other type (" + Code(wrong != nullptr, wrongError) + "), release " + Code(first, 0) +
                    ", again " + Code(second, e);
             return !wrong && wrongError == ERROR_INVALID_DATA && h && first && !second && e == ERROR_INVALID_HANDLE;
         }},
    };
    int failed = 0;
    for (const Row& row : rows) {
        std::string seen;
        bool ok = row.check(seen);
        std::printf("  [%s] %s: %s\n", ok ? "ok" : "FAIL", row.name, seen.c_str());
        if (!ok) ++failed;
    }
    std::fflush(stdout);
    return failed;
}
