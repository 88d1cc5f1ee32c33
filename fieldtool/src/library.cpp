#include "library.h"

namespace fieldtool {

Module::~Module() {
    if (module_) FreeLibrary(module_);
}

bool Module::Load(const char* name, Failure& failure) {
    name_ = name;
    // The program's folder and the system's, not the current directory: a DLL planted where
    // the tool is run from is not loaded.
    SetDllDirectoryA("");
    module_ = LoadLibraryA(name);
    if (!module_) {
        failure = FailWith(kExitLibrary, std::string("cannot load ") + name, CodeKind::Win32, GetLastError());
        return false;
    }
    return true;
}

bool Module::Bind(const char* exportName, FARPROC& address, Failure& failure) const {
    address = GetProcAddress(module_, exportName);
    if (!address) {
        failure = FailWith(kExitLibrary, Path() + " has no export " + exportName, CodeKind::Win32, GetLastError());
        return false;
    }
    return true;
}

std::string Module::Path() const {
    char path[MAX_PATH * 2] = {};
    DWORD n = module_ ? GetModuleFileNameA(module_, path, sizeof path) : 0;
    return n ? std::string(path, n) : name_;
}

const char* InputGateName() {
#if defined(_WIN64)
    return "inputgate64.dll";
#else
    return "inputgate32.dll";
#endif
}

namespace {

template <class F>
bool BindAs(const Module& module, const char* name, F& pointer, Failure& failure) {
    FARPROC address = nullptr;
    if (!module.Bind(name, address, failure)) return false;
    pointer = reinterpret_cast<F>(reinterpret_cast<void*>(address));
    return true;
}

}  // namespace

bool LoadLinkWinUsb(Module& module, LinkWinUsbApi& api, Failure& failure) {
    if (!module.Load("LinkWinUsb.dll", failure)) return false;
#define FIELDTOOL_BIND(name) \
    if (!BindAs(module, #name, api.name, failure)) return false;
    FIELDTOOL_LWU_EXPORTS(FIELDTOOL_BIND)
    return true;
}

bool LoadInputGate(Module& module, InputGateApi& api, Failure& failure) {
    if (!module.Load(InputGateName(), failure)) return false;
    FIELDTOOL_GATE_EXPORTS(FIELDTOOL_BIND)
#undef FIELDTOOL_BIND
    return true;
}

}  // namespace fieldtool
