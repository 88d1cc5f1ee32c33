// The exports of LinkWinUsb: the one list that the tests, the fuzzer, the benchmarks and the demo
// host bind from. usb/LinkWinUsb.def names the same exports in the same order; the build fails
// when the two differ (tools/checks/check-export-list.cmake), and the test usb_exports_* checks
// the built DLL against this list.
#pragma once
#include "LinkWinUsb.h"
#include "host_library.h"

// X(name) for each export, in the order of LinkWinUsb.def. One entry a line: the build's check
// reads them from here.
#define LWU_EXPORTS(X)                  \
    X(OpenDevice)                       \
    X(CloseDevice)                      \
    X(Read)                             \
    X(Write)                            \
    X(ControlRead)                      \
    X(ControlWrite)                     \
    X(PipeRead)                         \
    X(PipeWrite)                        \
    X(GetPipeOverlappedResult)          \
    X(PipeAbort)                        \
    X(PipeFlush)                        \
    X(PipeReset)                        \
    X(SetPipePolicy)                    \
    X(GetPipePolicy)                    \
    X(SetTransferTimeoutPolicy)         \
    X(GetTransferTimeoutPolicy)         \
    X(QueryDeviceEndpoints)             \
    X(GetDeviceDescriptor)              \
    X(RegisterForDeviceNotification)    \
    X(UnregisterForDeviceNotification)  \
    X(CmRegisterNotification)           \
    X(CmUnregisterNotification)         \
    X(GetUsbDeviceDetail)               \
    X(FreeUsbDeviceDetail)

#define LWU_EXPORT_NAME(name) #name,
constexpr const char* kLwuExportNames[] = {LWU_EXPORTS(LWU_EXPORT_NAME)};
#undef LWU_EXPORT_NAME
constexpr int kLwuExportCount = static_cast<int>(sizeof kLwuExportNames / sizeof kLwuExportNames[0]);

// Every export as a plain function pointer, bound by name as a host binds it (a missing export
// throws from HostLibrary::Get).
struct LinkWinUsbExports {
    LinkWinUsbExports() = default;
    explicit LinkWinUsbExports(const HostLibrary& library) { Bind(library); }

#define LWU_EXPORT_BIND(name) name = library.Get<decltype(&::name)>(#name);
    void Bind(const HostLibrary& library) { LWU_EXPORTS(LWU_EXPORT_BIND) }
#undef LWU_EXPORT_BIND

#define LWU_EXPORT_POINTER(name) decltype(&::name) name = nullptr;
    LWU_EXPORTS(LWU_EXPORT_POINTER)
#undef LWU_EXPORT_POINTER
};
