// Error texts and the diagnostic stream.
#include <cstdio>

#include "handles.h"
#include "internal.h"

namespace lwu {

std::string LastErrorText() {
    DWORD code = GetLastError();
    if (code == 0) return std::string();
    char* text = nullptr;
    DWORD count = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                     FORMAT_MESSAGE_FROM_SYSTEM,
                                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<char*>(&text), 0, nullptr);
    LocalMemory owner(text);   // the system's block, the caller's to free
    if (count == 0 || !text) return std::string();
    return std::string(text, count);
}

// The C runtime's buffered standard output, shared with the per-transfer printf lines, so that
// the host reads both in the order they were written.
void WriteDiagnostic(const char* prefix, const std::string& text) {
    std::fputs(prefix, stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace lwu
