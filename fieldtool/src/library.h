// The shipped DLLs, loaded by name at run time as a host loads them: no import library, so the
// tool uses the LinkWinUsb.dll and inputgate DLL that lie beside it (the kit's, in the kit).
#pragma once
#include <windows.h>

#include <string>

#include "LinkWinUsb.h"
#include "errors.h"
#include "inputgate.h"

namespace fieldtool {

// The exports the tool calls, by name.
#define FIELDTOOL_LWU_EXPORTS(X)     \
    X(OpenDevice)                    \
    X(CloseDevice)                   \
    X(Read)                          \
    X(Write)                         \
    X(ControlRead)                   \
    X(ControlWrite)                  \
    X(PipeRead)                      \
    X(PipeWrite)                     \
    X(PipeAbort)                     \
    X(SetPipePolicy)                 \
    X(SetTransferTimeoutPolicy)      \
    X(GetTransferTimeoutPolicy)      \
    X(QueryDeviceEndpoints)          \
    X(GetDeviceDescriptor)           \
    X(RegisterForDeviceNotification) \
    X(UnregisterForDeviceNotification) \
    X(CmRegisterNotification)        \
    X(CmUnregisterNotification)      \
    X(GetUsbDeviceDetail)            \
    X(FreeUsbDeviceDetail)

#define FIELDTOOL_GATE_EXPORTS(X) \
    X(LockInput)                  \
    X(IsBlocked)                  \
    X(AllowKeyboardEvent)         \
    X(AllowMouseEvent)

#define FIELDTOOL_POINTER(name) decltype(&::name) name = nullptr;
struct LinkWinUsbApi {
    FIELDTOOL_LWU_EXPORTS(FIELDTOOL_POINTER)
};
struct InputGateApi {
    FIELDTOOL_GATE_EXPORTS(FIELDTOOL_POINTER)
};
#undef FIELDTOOL_POINTER

// One loaded DLL; freed with the object.
class Module {
public:
    Module() = default;
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads the DLL by name; false with the failure filled.
    bool Load(const char* name, Failure& failure);
    // The export's address, or false with the failure filled.
    bool Bind(const char* exportName, FARPROC& address, Failure& failure) const;
    const std::string& name() const { return name_; }
    // The file the system loaded (its full path).
    std::string Path() const;

private:
    HMODULE module_ = nullptr;
    std::string name_;
};

const char* InputGateName();   // inputgate64.dll or inputgate32.dll, the build's width

bool LoadLinkWinUsb(Module& module, LinkWinUsbApi& api, Failure& failure);
bool LoadInputGate(Module& module, InputGateApi& api, Failure& failure);

}  // namespace fieldtool
