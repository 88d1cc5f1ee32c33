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
        Restore();
#if defined(GTEST_API_)
        // Test framework failure messages written while capturing would be lost: show them (of a
        // capture too large to show, its start and its end).
        if (::testing::Test::HasFailure()) {
            const long long size = Size();
            const long long shown = 64 * 1024;
            std::string text;
            if (size <= 4 * shown) {
                text = Text();
            } else {
                text = Raw(0, shown) + "\n[... " + std::to_string(size - 2 * shown) + " bytes left out ...]\n" +
                       Raw(size - shown, shown);
            }
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
#endif
        DeleteFileA(path_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Bytes written so far as the file holds them (each "\n" as CR LF), without reading them.
    long long Size() {
        std::fflush(stdout);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExA(path_, GetFileExInfoStandard, &data)) return -1;
        return static_cast<long long>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    }
    // Up to `count` bytes from `offset` as the file holds them.
    std::string Raw(long long offset, long long count) {
        std::fflush(stdout);
        std::string bytes(static_cast<size_t>(count), '\0');
        size_t n = 0;
        if (FILE* f = std::fopen(path_, "rb")) {
            if (_fseeki64(f, offset, SEEK_SET) == 0) n = std::fread(&bytes[0], 1, bytes.size(), f);
            std::fclose(f);
        }
        bytes.resize(n);
        return bytes;
    }

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
