// Observes and steers the platform calls that the service code linked into this test program
// makes: the entry of one imported function in the program's import address table is pointed
// at a test function for the lifetime of the object. The product code itself still calls the
// platform's function by its name; only this test program's table is changed.
#pragma once
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>

class ImportPatch {
public:
    ImportPatch(const char* function, void* replacement) : slot_(FindSlot(function)) {
        if (!slot_) throw std::runtime_error(std::string("no import entry for ") + function);
        original_ = Exchange(replacement);
    }
    ~ImportPatch() { Exchange(original_); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    template <class F>
    F original() const {
        return reinterpret_cast<F>(original_);
    }

private:
    static void** FindSlot(const char* function) {
        auto base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto imports = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
        for (; imports->Name; ++imports) {
            auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->OriginalFirstThunk);
            auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    return reinterpret_cast<void**>(&slots->u1.Function);
                }
            }
        }
        return nullptr;
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

    void** slot_;
    void* original_ = nullptr;
};
