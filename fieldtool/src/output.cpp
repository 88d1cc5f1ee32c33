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
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, FALSE};
    HANDLE write = nullptr;
    if (!CreatePipe(&pipeRead_, &write, &inherit, 64 * 1024)) {
        error = GetLastError();
        return false;
    }
    std::fflush(stdout);
    // Descriptor 1 of the shared C runtime: what the libraries' printf and fwrite reach.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        error = ERROR_INVALID_HANDLE;
        CloseHandle(write);
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
    drainer_ = std::thread([this] { Drain(); });
    return true;
}

void Output::Drain() {
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipeRead_, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
        busy_ = true;
        if (!quiet_) {
            std::lock_guard<std::mutex> hold(errMutex_);
            WriteAll(err_, std::string(chunk, got));
        }
        busy_ = false;
    }
}

void Output::SyncLibraryLines() {
    if (!redirected_) return;
    std::fflush(stdout);
    // A bounded wait: the thread reads what the pipe holds at once.
    for (int i = 0; i < 200; ++i) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(pipeRead_, nullptr, 0, nullptr, &waiting, nullptr)) break;
        if (waiting == 0 && !busy_) break;
        Sleep(1);
    }
}

void Output::Finish() {
    if (!redirected_) return;
    redirected_ = false;
    std::fflush(stdout);
    // Closing descriptor 1 closes the pipe's write end: the thread reads to the end and stops.
    // Later C runtime output (none is expected) then goes nowhere.
    _close(1);
    SetStdHandle(STD_OUTPUT_HANDLE, out_);
    if (drainer_.joinable()) drainer_.join();
    CloseHandle(pipeRead_);
    pipeRead_ = nullptr;
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
