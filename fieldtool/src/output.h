// The tool's standard output belongs to the tool; the libraries' diagnostic lines do not reach it.
//
// LinkWinUsb writes its lines through the C runtime's stdout (file descriptor 1) of the process,
// the msvcrt.dll it shares with this program. Before any library is loaded, Redirect() keeps a
// duplicate of the original standard output handle for the tool's own text and points
// descriptor 1 and STD_OUTPUT_HANDLE at a duplicate of standard error, or (--quiet) at a
// temporary file that is emptied now and then. Not a pipe with a thread that copies: under Wine
// the C runtime writes a pipe at every printf and each write is a round trip to the server, which
// cost echo more than its transfers; not NUL: output to a character device is written unbuffered,
// byte by byte for some lines. Writes to a disk file go straight to the system.
#pragma once
#include <windows.h>

#include <mutex>
#include <string>

namespace fieldtool {

class Output {
public:
    Output();
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Takes standard output over; false (with the Win32 error in `error`) when it could not.
    bool Redirect(bool quiet, DWORD& error);
    // Hands the library's pending lines on (flushes the C runtime's stdout), so that a message
    // that follows comes after them; with --quiet empties the file they went to.
    void SyncLibraryLines();
    // Ends the redirection: flushes and lets the target go. Idempotent.
    void Finish();

    // The tool's own standard output (text as is) and standard error.
    void Out(const std::string& text);
    void Err(const std::string& text);
    // A progress line that rewrites itself: only when standard output is a console.
    bool OutIsConsole() const { return outIsConsole_; }
    void Progress(const std::string& text);
    void ClearProgress();

private:
    void WriteAll(HANDLE handle, const std::string& text);

    HANDLE out_ = INVALID_HANDLE_VALUE;   // duplicate of the original standard output
    HANDLE err_ = INVALID_HANDLE_VALUE;   // standard error (not redirected)
    bool outIsConsole_ = false;
    bool quiet_ = false;
    bool redirected_ = false;
    size_t progressWidth_ = 0;
    std::mutex errMutex_;                 // one writer of standard error at a time
};

}  // namespace fieldtool
