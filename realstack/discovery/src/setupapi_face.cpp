// setupapi.dll for the real stack: interface sets of the maker's class, read from sysfs.
// Contracts kept from the platform, as the simulated world keeps them
// (docs/platform-contracts.md): a set holds the interfaces present when it was made;
// SetupDiEnumDeviceInterfaces ends with ERROR_NO_MORE_ITEMS; SetupDiGetDeviceInterfaceDetailA
// reports the required size and fails with ERROR_INSUFFICIENT_BUFFER without a buffer or with
// a small one, and with ERROR_INVALID_USER_BUFFER for a wrong cbSize.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sync.h"
#include "sysfs.h"

namespace rs {

namespace {

struct InterfaceSet {
    GUID classGuid{};
    std::vector<std::string> paths;
};

SrwLock setsLock;
std::map<HDEVINFO, std::shared_ptr<const InterfaceSet>> sets;   // guarded by setsLock
uintptr_t nextSet = 0xD100;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::shared_ptr<const InterfaceSet> FindSet(HDEVINFO handle) {
    LockHold hold(setsLock);
    auto it = sets.find(handle);
    return it == sets.end() ? nullptr : it->second;
}

HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags) {
    // Device-node sets of setup classes are not made here: only interface sets.
    if (!(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<InterfaceSet>();
    if (classGuid) set->classGuid = *classGuid;
    // Only present interfaces are known: without DIGCF_PRESENT the set is the same.
    if (!classGuid || SameGuid(*classGuid, MakerInterfaceClass())) {
        for (UsbInterface& i : ScanInterfaces()) set->paths.push_back(std::move(i.path));
    }
    LockHold hold(setsLock);
    auto handle = reinterpret_cast<HDEVINFO>(nextSet);
    nextSet += 0x10;
    sets[handle] = std::move(set);
    return handle;
}

BOOL EnumInterfaces(HDEVINFO handle, const GUID* classGuid, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    auto set = FindSet(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!classGuid) return Fail(ERROR_INVALID_PARAMETER);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    // Every interface here is of the maker's class: those of another class asked for are none.
    if (!SameGuid(*classGuid, MakerInterfaceClass()) || index >= set->paths.size()) return Fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = *classGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL GetDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
               DWORD detailSize, PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    auto set = FindSet(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (data->Reserved == 0 || data->Reserved > set->paths.size()) return Fail(ERROR_INVALID_PARAMETER);
    const std::string& path = set->paths[data->Reserved - 1];
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (!detail) return Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (device && device->cbSize == sizeof(SP_DEVINFO_DATA)) device->DevInst = static_cast<DWORD>(data->Reserved);
    return TRUE;
}

}  // namespace
}  // namespace rs

using namespace rs;

extern "C" {

__declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR, HWND, DWORD flags) {
    try {
        return GetClassDevs(classGuid, flags);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

__declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* classGuid,
                                                              DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    try {
        return EnumInterfaces(handle, classGuid, index, data);
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

__declspec(dllexport) BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                                   DWORD detailSize, PDWORD requiredSize,
                                                                   PSP_DEVINFO_DATA device) {
    try {
        return GetDetail(handle, data, detail, detailSize, requiredSize, device);
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

__declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    LockHold hold(setsLock);
    if (sets.erase(handle) == 0) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

}  // extern "C"
