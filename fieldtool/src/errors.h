// What a failure of the tool carries: the exit code, the message for people, and the code that
// caused it (a Win32 error, an HRESULT, a status of the library or a Read result) with its text.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace fieldtool {

// Exit codes, one per kind of ending (docs/field-tool.md lists them).
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,       // a call of a library or the system failed
    kExitUsage = 2,        // bad arguments
    kExitLibrary = 3,      // a library could not be loaded or lacks an export
    kExitMismatch = 4,     // the device did not echo, or echoed other bytes
    kExitNoDevice = 5,     // no interface of the class is present
    kExitInterrupted = 130 // Ctrl+C (or Ctrl+Break) ended the subcommand early
};

enum class CodeKind { None, Win32, HResult, Library, ReadResult };

struct Failure {
    int exitCode = kExitFailed;
    std::string message;          // the whole sentence, code and text included
    CodeKind kind = CodeKind::None;
    uint32_t code = 0;
    std::string codeText;         // the system's or the library's text of the code
};

// The system's text of a Win32 error (FormatMessage), without its line end; "unknown error"
// when the system has none.
std::string SystemText(DWORD code);

// "Win32 error 2 (The system cannot find the file specified.)" and the like.
std::string DescribeCode(CodeKind kind, uint32_t code);
std::string CodeTextOf(CodeKind kind, uint32_t code);

// A status of LinkWinUsb: 0x9001.. are the library's own, anything else a Win32 error.
CodeKind StatusKind(uint32_t status);

Failure Fail(int exitCode, const std::string& what);
Failure FailWith(int exitCode, const std::string& what, CodeKind kind, uint32_t code);
// A failed library status: the library's own codes by name, others as Win32 errors.
Failure FailStatus(const std::string& what, uint32_t status);

std::string Hex(uint32_t value, int digits = 0);

}  // namespace fieldtool
