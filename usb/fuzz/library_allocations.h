// Counts the heap blocks one loaded module holds: its imports of the C runtime's allocation
// functions, of LocalAlloc/LocalFree and of FormatMessageA (whose buffer the caller frees) are
// pointed at counting wrappers. A block freed that was never counted (one from before the count
// began) is ignored.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "import_patch.h"

class LibraryAllocations {
public:
    // Patches every import slot of the module for the functions counted. False when the module
    // imports none of them (nothing would be counted).
    static bool Attach(HMODULE module) {
        State& s = state();
        InitializeSRWLock(&s.lock);
        int patched = 0;
        patched += Patch(module, "malloc", reinterpret_cast<void*>(&Malloc), &s.malloc);
        patched += Patch(module, "calloc", reinterpret_cast<void*>(&Calloc), &s.calloc);
        patched += Patch(module, "realloc", reinterpret_cast<void*>(&Realloc), &s.realloc);
        patched += Patch(module, "free", reinterpret_cast<void*>(&Free), &s.free);
        patched += Patch(module, "_strdup", reinterpret_cast<void*>(&Strdup), &s.strdup);
        patched += Patch(module, "strdup", reinterpret_cast<void*>(&Strdup), &s.strdup);
        patched += Patch(module, "LocalAlloc", reinterpret_cast<void*>(&LocalAllocCounted), &s.localAlloc);
        patched += Patch(module, "LocalFree", reinterpret_cast<void*>(&LocalFreeCounted), &s.localFree);
        patched += Patch(module, "FormatMessageA", reinterpret_cast<void*>(&FormatMessageCounted), &s.formatMessage);
        return patched > 0 && s.malloc && s.free;
    }

    // Blocks the module allocated and has not freed.
    static size_t Live() {
        State& s = state();
        AcquireSRWLockShared(&s.lock);
        size_t n = s.live.size();
        ReleaseSRWLockShared(&s.lock);
        return n;
    }

private:
    using MallocFn = void*(__cdecl*)(size_t);
    using CallocFn = void*(__cdecl*)(size_t, size_t);
    using ReallocFn = void*(__cdecl*)(void*, size_t);
    using FreeFn = void(__cdecl*)(void*);
    using StrdupFn = char*(__cdecl*)(const char*);
    using LocalAllocFn = HLOCAL(WINAPI*)(UINT, SIZE_T);
    using LocalFreeFn = HLOCAL(WINAPI*)(HLOCAL);
    using FormatMessageFn = DWORD(WINAPI*)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*);

    struct State {
        SRWLOCK lock = SRWLOCK_INIT;
        std::unordered_set<void*> live;
        MallocFn malloc = nullptr;
        CallocFn calloc = nullptr;
        ReallocFn realloc = nullptr;
        FreeFn free = nullptr;
        StrdupFn strdup = nullptr;
        LocalAllocFn localAlloc = nullptr;
        LocalFreeFn localFree = nullptr;
        FormatMessageFn formatMessage = nullptr;
    };
    static State& state() {
        static State s;
        return s;
    }

    static void Add(void* p) {
        if (!p) return;
        State& s = state();
        AcquireSRWLockExclusive(&s.lock);
        s.live.insert(p);
        ReleaseSRWLockExclusive(&s.lock);
    }
    static void Remove(void* p) {
        if (!p) return;
        State& s = state();
        AcquireSRWLockExclusive(&s.lock);
        s.live.erase(p);
        ReleaseSRWLockExclusive(&s.lock);
    }

    static void* __cdecl Malloc(size_t n) {
        void* p = state().malloc(n);
        Add(p);
        return p;
    }
    static void* __cdecl Calloc(size_t n, size_t size) {
        void* p = state().calloc(n, size);
        Add(p);
        return p;
    }
    static void* __cdecl Realloc(void* old, size_t n) {
        void* p = state().realloc(old, n);
        if (p || n == 0) Remove(old);   // moved, or freed by a size of 0
        Add(p);
        return p;
    }
    static void __cdecl Free(void* p) {
        Remove(p);
        state().free(p);
    }
    static char* __cdecl Strdup(const char* text) {
        char* p = state().strdup(text);
        Add(p);
        return p;
    }
    static HLOCAL WINAPI LocalAllocCounted(UINT flags, SIZE_T n) {
        HLOCAL p = state().localAlloc(flags, n);
        Add(p);
        return p;
    }
    static HLOCAL WINAPI LocalFreeCounted(HLOCAL p) {
        Remove(p);
        return state().localFree(p);
    }
    static DWORD WINAPI FormatMessageCounted(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer,
                                             DWORD size, va_list* arguments) {
        DWORD n = state().formatMessage(flags, source, id, language, buffer, size, arguments);
        // The system allocated the text with LocalAlloc; the caller owns it now.
        if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && buffer) Add(*reinterpret_cast<void**>(buffer));
        return n;
    }

    template <class F>
    static int Patch(HMODULE module, const char* function, void* replacement, F* original) {
        int count = 0;
        for (void** slot : ImportPatch::Slots(module, function)) {
            if (*slot != replacement) {
                if (!*original) *original = reinterpret_cast<F>(*slot);
                ExchangeImportSlot(slot, replacement);
                ++count;
            }
        }
        return count;
    }
};
