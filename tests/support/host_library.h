// Loads a deliverable DLL the way a host does (LoadLibrary + GetProcAddress) and
// captures what the process writes to standard output.
#pragma once
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <stdexcept>
#include <string>

class HostLibrary {
public:
    explicit HostLibrary(const char* name) : module_(LoadLibraryA(name)) {
        if (!module_) throw std::runtime_error(std::string("LoadLibrary failed for ") + name);
    }
    ~HostLibrary() {
        if (module_) FreeLibrary(module_);
    }
    HostLibrary(const HostLibrary&) = delete;
    HostLibrary& operator=(const HostLibrary&) = delete;

    template <class F>
    F Get(const char* name) const {
        FARPROC p = GetProcAddress(module_, name);
        if (!p) throw std::runtime_error(std::string("missing export ") + name);
        return reinterpret_cast<F>(reinterpret_cast<void*>(p));
    }
    bool Has(const char* name) const { return GetProcAddress(module_, name) != nullptr; }
    HMODULE module() const { return module_; }
    // Unloads now (for tests of unloading); the destructor then does nothing.
    void Unload() {
        if (module_) FreeLibrary(module_);
        module_ = nullptr;
    }

private:
    HMODULE module_;
};

// Redirects the C runtime's standard output (shared by the DLLs of the process) into a
// temporary file for the lifetime of the object; Text() flushes and returns what was written.
// The file is in text mode, like a console or a pipe: wide output arrives in the ANSI code
// page and line ends are read back as "\n".
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        GetTempFileNameA(dir, "out", 0, path_);
        saved_ = _dup(_fileno(stdout));
        int fd = _open(path_, _O_WRONLY | _O_TRUNC | _O_CREAT | _O_TEXT, 0600);
        _dup2(fd, _fileno(stdout));
        _close(fd);
    }
    ~StdoutCapture() {
        std::string text = Text();
        Restore();
#if defined(GTEST_API_)
        // Test framework failure messages written while capturing would be lost: show them.
        if (::testing::Test::HasFailure()) std::fwrite(text.data(), 1, text.size(), stdout);
#endif
        DeleteFileA(path_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string Text() {
        std::fflush(stdout);
        std::string text;
        if (FILE* f = std::fopen(path_, "r")) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
            std::fclose(f);
        }
        return text;
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        _dup2(saved_, _fileno(stdout));
        _close(saved_);
        saved_ = -1;
    }
    char path_[MAX_PATH] = {};
    int saved_ = -1;
};
