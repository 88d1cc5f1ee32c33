// What the library prints: standard output goes to a file whose growth each call is measured by.
#pragma once
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace usbfuzz {

class OutputMeter {
public:
    bool Start() {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        if (!GetTempFileNameA(dir, "fzo", 0, path_)) return false;
        std::fflush(stdout);
        // Text mode, as a console or a pipe is: wide output arrives in the ANSI code page.
        int fd = _open(path_, _O_RDWR | _O_TRUNC | _O_CREAT | _O_TEXT, 0600);
        if (fd < 0) return false;
        _dup2(fd, _fileno(stdout));
        _close(fd);
        return true;
    }
    void Stop() {
        std::fflush(stdout);
        _chsize_s(_fileno(stdout), 0);
        DeleteFileA(path_);
    }
    // Bytes written since the last call.
    long long Take() {
        std::fflush(stdout);
        long long at = _telli64(_fileno(stdout));
        long long grown = at - last_;
        last_ = at;
        if (at > (64ll << 20)) {
            _chsize_s(_fileno(stdout), 0);
            _lseeki64(_fileno(stdout), 0, SEEK_SET);
            std::fseek(stdout, 0, SEEK_SET);
            last_ = 0;
        }
        return grown;
    }

private:
    char path_[MAX_PATH] = {};
    long long last_ = 0;
};

inline OutputMeter output;

}  // namespace usbfuzz
