// Texts of the codes the tool reports.
#include "errors.h"

#include <cstdio>

#include "LinkWinUsb.h"

namespace fieldtool {

namespace {

struct Named {
    uint32_t code;
    const char* name;
    const char* text;
};

const Named kLibraryCodes[] = {
    {LWU_BAD_ARGUMENT, "LWU_BAD_ARGUMENT", "a required pointer is null, or a required value is 0"},
    {LWU_BAD_HANDLE, "LWU_BAD_HANDLE", "the handle is INVALID_HANDLE_VALUE"},
    {LWU_SHORT_READ, "LWU_SHORT_READ", "the transfer moved another byte count than asked"},
    {LWU_SHORT_WRITE, "LWU_SHORT_WRITE", "the OUT transfer moved another byte count than asked"},
};

const Named kReadResults[] = {
    {LWU_READ_EMPTY, "LWU_READ_EMPTY", "the device announced no message"},
    {LWU_READ_OK, "LWU_READ_OK", "one message was received"},
    {LWU_READ_FAILED, "LWU_READ_FAILED", "a framing request or the bulk transfer failed"},
    {LWU_READ_TOO_LONG, "LWU_READ_TOO_LONG", "the announced length exceeds LWU_MAX_MESSAGE"},
};

template <size_t N>
const Named* Find(const Named (&table)[N], uint32_t code) {
    for (const Named& n : table)
        if (n.code == code) return &n;
    return nullptr;
}

}  // namespace

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string SystemText(DWORD code) {
    char* text = nullptr;
    DWORD count = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = count && text ? std::string(text, count) : std::string();
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result.empty() ? "unknown error" : result;
}

CodeKind StatusKind(uint32_t status) { return Find(kLibraryCodes, status) ? CodeKind::Library : CodeKind::Win32; }

std::string CodeTextOf(CodeKind kind, uint32_t code) {
    switch (kind) {
    case CodeKind::Win32:
        return SystemText(code);
    case CodeKind::HResult:
        // The HRESULT form of a Win32 error carries the error in its low 16 bits.
        return (code & 0xFFFF0000u) == 0x80070000u ? SystemText(code & 0xFFFFu) : SystemText(code);
    case CodeKind::Library:
        if (const Named* n = Find(kLibraryCodes, code)) return n->text;
        return "unknown library code";
    case CodeKind::ReadResult:
        if (const Named* n = Find(kReadResults, code)) return n->text;
        return "unknown Read result";
    case CodeKind::None:
        break;
    }
    return std::string();
}

std::string DescribeCode(CodeKind kind, uint32_t code) {
    const std::string text = CodeTextOf(kind, code);
    switch (kind) {
    case CodeKind::Win32:
        return "Win32 error " + std::to_string(code) + " (" + text + ")";
    case CodeKind::HResult:
        return "HRESULT " + Hex(code, 8) + " (" + text + ")";
    case CodeKind::Library:
        return std::string(Find(kLibraryCodes, code) ? Find(kLibraryCodes, code)->name : "library code") + " " +
               Hex(code) + " (" + text + ")";
    case CodeKind::ReadResult:
        return std::string(Find(kReadResults, code) ? Find(kReadResults, code)->name : "Read result") + " " +
               std::to_string(code) + " (" + text + ")";
    case CodeKind::None:
        break;
    }
    return std::string();
}

Failure Fail(int exitCode, const std::string& what) {
    Failure f;
    f.exitCode = exitCode;
    f.message = what;
    return f;
}

Failure FailWith(int exitCode, const std::string& what, CodeKind kind, uint32_t code) {
    Failure f;
    f.exitCode = exitCode;
    f.kind = kind;
    f.code = code;
    f.codeText = CodeTextOf(kind, code);
    f.message = what + ": " + DescribeCode(kind, code);
    return f;
}

Failure FailStatus(const std::string& what, uint32_t status) {
    return FailWith(kExitFailed, what, StatusKind(status), status);
}

}  // namespace fieldtool
