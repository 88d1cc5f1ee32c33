// The fault seam of the tests: one entry of a loaded module's import address table is pointed at
// a test function for the lifetime of an object. The module is the shipped DLL as a host loaded it
// (or the test program itself, for code linked into it); its code still calls the platform
// function by name, and only that module's calls are redirected. Works in both widths: the
// replacement has the platform function's own type, calling convention included.
//
//   auto fault = FAIL_IMPORT(module, LocalAlloc, HLOCAL{}, ERROR_NOT_ENOUGH_MEMORY);
//   ... the next call of LocalAlloc made by that module returns NULL with that last error ...
//   fault.calls()   how many calls reached the stub
#pragma once
#include <windows.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

class ImportPatch {
public:
    // An entry of the calling program's own import table.
    ImportPatch(const char* function, void* replacement) : ImportPatch(GetModuleHandleW(nullptr), function, replacement) {}
    ImportPatch(HMODULE module, const char* function, void* replacement)
        : module_(module), slot_(FindSlot(module, function)) {
        if (!slot_) throw std::runtime_error(std::string("no import entry for ") + function);
        original_ = Exchange(replacement);
    }
    // A module that a test unloaded while patched has no table left to restore.
    ~ImportPatch() {
        if (StillLoaded()) Exchange(original_);
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    template <class F>
    F original() const {
        return reinterpret_cast<F>(original_);
    }
    void* originalAddress() const { return original_; }

    // True when the module imports the function by name.
    static bool Imports(HMODULE module, const char* function) { return FindSlot(module, function) != nullptr; }

    // Every import entry of the module for the function, by name (a module may import it from
    // more than one DLL).
    static std::vector<void**> Slots(HMODULE module, const char* function) {
        std::vector<void**> out;
        auto base = reinterpret_cast<BYTE*>(module);
        auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (dir.VirtualAddress == 0) return out;
        auto imports = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
        for (; imports->Name; ++imports) {
            auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->OriginalFirstThunk);
            auto entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++entries) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    out.push_back(reinterpret_cast<void**>(&entries->u1.Function));
                }
            }
        }
        return out;
    }

private:
    static void** FindSlot(HMODULE module, const char* function) {
        std::vector<void**> slots = Slots(module, function);
        return slots.empty() ? nullptr : slots.front();
    }

    bool StillLoaded() const {
        HMODULE holder = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  reinterpret_cast<LPCWSTR>(slot_), &holder) &&
               holder == module_;
    }

    void* Exchange(void* value) {
        DWORD protect = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protect);
        void* old = *slot_;
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), protect, &protect);
        FlushInstructionCache(GetCurrentProcess(), slot_, sizeof(void*));
        return old;
    }

    HMODULE module_;
    void** slot_;
    void* original_ = nullptr;
};

// The state of one failing stub. Tag makes each FAIL_IMPORT a type of its own, so that two
// functions of the same signature never share a stub.
template <class F, int Tag>
class ImportFault;

template <class R, class... A, int Tag>
class ImportFault<R(WINAPI*)(A...), Tag> {
public:
    // Fails `times` calls (-1: every call) after letting `skip` calls through, returning
    // failValue with failError as the thread's last error.
    ImportFault(HMODULE module, const char* function, R failValue, DWORD failError, int times = 1, int skip = 0)
        : patch_(module, function, reinterpret_cast<void*>(&Stub)) {
        State& s = state();
        s.original = patch_.originalAddress();
        s.failValue = failValue;
        s.failError = failError;
        s.remaining = times;
        s.skip = skip;
        s.calls = 0;
        s.failed = 0;
    }
    ImportFault(const ImportFault&) = delete;
    ImportFault& operator=(const ImportFault&) = delete;

    int calls() const { return state().calls.load(); }     // every call that reached the stub
    int failed() const { return state().failed.load(); }   // the calls it failed
    // From now on fails `times` calls after letting `skip` through: a fault made with times 0
    // passes every call until it is armed.
    void Arm(int times, int skip = 0) {
        state().skip = skip;
        state().remaining = times;
    }

private:
    struct State {
        void* original = nullptr;
        R failValue{};
        DWORD failError = 0;
        std::atomic<int> remaining{0};
        std::atomic<int> skip{0};
        std::atomic<int> calls{0};
        std::atomic<int> failed{0};
    };
    static State& state() {
        static State s;
        return s;
    }
    static bool ShouldFail(State& s) {
        ++s.calls;
        if (s.skip.load() > 0) {
            --s.skip;
            return false;
        }
        int left = s.remaining.load();
        while (left != 0) {
            if (left < 0 || s.remaining.compare_exchange_weak(left, left - 1)) {
                ++s.failed;
                return true;
            }
        }
        return false;
    }
    static R WINAPI Stub(A... arguments) {
        State& s = state();
        if (ShouldFail(s)) {
            SetLastError(s.failError);
            return s.failValue;
        }
        return reinterpret_cast<R(WINAPI*)(A...)>(s.original)(arguments...);
    }

    ImportPatch patch_;
};

// A platform function that returns nothing: a "failure" is the call not being made.
template <class... A, int Tag>
class ImportFault<void(WINAPI*)(A...), Tag> {
public:
    ImportFault(HMODULE module, const char* function, int times = 1, int skip = 0)
        : patch_(module, function, reinterpret_cast<void*>(&Stub)) {
        original() = patch_.originalAddress();
        remaining() = times;
        skipped() = skip;
        count() = 0;
    }
    ImportFault(const ImportFault&) = delete;
    ImportFault& operator=(const ImportFault&) = delete;
    int calls() const { return count().load(); }

private:
    static void*& original() {
        static void* p = nullptr;
        return p;
    }
    static std::atomic<int>& remaining() {
        static std::atomic<int> n{0};
        return n;
    }
    static std::atomic<int>& skipped() {
        static std::atomic<int> n{0};
        return n;
    }
    static std::atomic<int>& count() {
        static std::atomic<int> n{0};
        return n;
    }
    static void WINAPI Stub(A... arguments) {
        ++count();
        if (skipped().load() > 0) {
            --skipped();
        } else if (remaining().load() != 0) {
            if (remaining().load() > 0) --remaining();
            return;
        }
        reinterpret_cast<void(WINAPI*)(A...)>(original())(arguments...);
    }
    ImportPatch patch_;
};

// FAIL_IMPORT(module, Function, failValue, error [, times [, skip]]): the import of Function by
// module fails as described above.
#define FAIL_IMPORT(module, function, ...) \
    ImportFault<decltype(&::function), __COUNTER__>((module), #function, __VA_ARGS__)
// SKIP_IMPORT(module, Function, times): a function that returns nothing is not called, `times`
// times (-1: never again).
#define SKIP_IMPORT(module, function, times) \
    ImportFault<decltype(&::function), __COUNTER__>((module), #function, (times))
// FAIL_IMPORT_AS(module, Function, Pointer, failValue, error [, times [, skip]]): FAIL_IMPORT for a
// function whose type carries attributes that a template argument drops (FormatMessageA's va_list
// pointer): Pointer spells out an equivalent pointer type, calling convention included.
#define FAIL_IMPORT_AS(module, function, pointer, ...) \
    ImportFault<pointer, __COUNTER__>((module), #function, __VA_ARGS__)
