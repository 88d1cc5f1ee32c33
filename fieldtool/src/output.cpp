#include "output.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace fieldtool {

namespace {

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetFileType(handle) == FILE_TYPE_CHAR &&
           GetConsoleMode(handle, &mode);
}

HANDLE Duplicate(HANDLE handle) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return INVALID_HANDLE_VALUE;
    return copy;
}

}  // namespace

Output::Output()
    : out_(Duplicate(GetStdHandle(STD_OUTPUT_HANDLE))), err_(GetStdHandle(STD_ERROR_HANDLE)), outIsConsole_(IsConsole(out_)) {}

Output::~Output() {
    Finish();
    if (out_ != INVALID_HANDLE_VALUE) CloseHandle(out_);
}

bool Output::Redirect(bool quiet, DWORD& error) {
    quiet_ = quiet;
    HANDLE target = INVALID_HANDLE_VALUE;
    if (quiet) {
        char folder[MAX_PATH + 1] = {};
        char name[MAX_PATH + 1] = {};
        if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "vft", 0, name)) {
            error = GetLastError();
            return false;
        }
        target = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    } else {
        target = Duplicate(err_);
    }
    if (target == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    std::fflush(stdout);
    // Descriptor 1 of the shared C runtime: what the libraries' printf and fwrite reach.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(target), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        error = ERROR_INVALID_HANDLE;
        CloseHandle(target);
        return false;
    }
    if (_dup2(fd, 1) != 0) {
        error = ERROR_INVALID_HANDLE;
        _close(fd);
        return false;
    }
    _close(fd);
    // The system's idea of standard output too, for code that asks GetStdHandle.
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    redirected_ = true;
    return true;
}

void Output::SyncLibraryLines() {
    if (!redirected_) return;
    std::fflush(stdout);
    if (!quiet_) return;
    // Dropped lines need no keeping: the file starts again, so a long run does not fill the disk.
    auto file = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    if (_lseek(1, 0, SEEK_SET) == 0) SetEndOfFile(file);
}

void Output::Finish() {
    if (!redirected_) return;
    redirected_ = false;
    std::fflush(stdout);
    // Later C runtime output (none is expected) then goes nowhere; a temporary file goes away.
    _close(1);
    SetStdHandle(STD_OUTPUT_HANDLE, out_);
}

void Output::WriteAll(HANDLE handle, const std::string& text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    size_t at = 0;
    while (at < text.size()) {
        DWORD wrote = 0;
        if (!WriteFile(handle, text.data() + at, static_cast<DWORD>(text.size() - at), &wrote, nullptr) || wrote == 0)
            return;
        at += wrote;
    }
}

void Output::Out(const std::string& text) {
    ClearProgress();
    WriteAll(out_, text);
}

void Output::Err(const std::string& text) {
    ClearProgress();
    SyncLibraryLines();
    std::lock_guard<std::mutex> hold(errMutex_);
    WriteAll(err_, text);
}

void Output::Progress(const std::string& text) {
    if (!outIsConsole_) return;
    std::string line = "\r" + text;
    if (text.size() < progressWidth_) line += std::string(progressWidth_ - text.size(), ' ');
    progressWidth_ = text.size();
    WriteAll(out_, line);
}

void Output::ClearProgress() {
    if (progressWidth_ == 0) return;
    WriteAll(out_, "\r" + std::string(progressWidth_, ' ') + "\r");
    progressWidth_ = 0;
}

}  // namespace fieldtool
