// The tool's standard output belongs to the tool; the libraries' diagnostic lines do not reach it.
//
// LinkWinUsb writes its lines through the C runtime's stdout (file descriptor 1) of the process,
// the msvcrt.dll it shares with this program. Before any library is loaded, Redirect() keeps a
// duplicate of the original standard output handle for the tool's own text and points
// descriptor 1 and STD_OUTPUT_HANDLE at the write end of a pipe. A thread copies what arrives
// there to standard error, or drops it (--quiet). A pipe rather than NUL or the console: the C
// runtime buffers output to a pipe, while output to a character device is written unbuffered,
// byte by byte for some lines, which would cost more than the transfers it reports.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace fieldtool {

class Output {
public:
    Output();
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Takes standard output over; false (with the Win32 error in `error`) when it could not.
    bool Redirect(bool quiet, DWORD& error);
    // Hands the library's pending lines on (flushes the C runtime's stdout and waits until the
    // copying thread has passed them on), so that a message that follows comes after them.
    void SyncLibraryLines();
    // Ends the redirection: flushes, stops the copying thread. Idempotent.
    void Finish();

    // The tool's own standard output (text as is) and standard error.
    void Out(const std::string& text);
    void Err(const std::string& text);
    // A progress line that rewrites itself: only when standard output is a console.
    bool OutIsConsole() const { return outIsConsole_; }
    void Progress(const std::string& text);
    void ClearProgress();

private:
    void Drain();
    void WriteAll(HANDLE handle, const std::string& text);

    HANDLE out_ = INVALID_HANDLE_VALUE;   // duplicate of the original standard output
    HANDLE err_ = INVALID_HANDLE_VALUE;   // standard error (not redirected)
    HANDLE pipeRead_ = nullptr;
    bool outIsConsole_ = false;
    bool quiet_ = false;
    bool redirected_ = false;
    size_t progressWidth_ = 0;
    std::atomic<bool> busy_{false};       // the copying thread holds bytes it has not written yet
    std::mutex errMutex_;                 // one writer of standard error at a time
    std::thread drainer_;
};

}  // namespace fieldtool
