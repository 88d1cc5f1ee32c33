// UTF-16 text to the calling thread's ANSI code page.
#include <vector>

#include "internal.h"

namespace lwu {

bool NarrowText(const wchar_t* text, std::string& out) {
    out.clear();
    if (!text) return false;
    std::vector<char> buffer(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, buffer.data(), static_cast<int>(buffer.size()), nullptr,
                                    nullptr);
        if (n > 0) {
            out.assign(buffer.data(), static_cast<size_t>(n - 1));   // without the terminator
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
        if (needed <= 0) return false;
        buffer.resize(static_cast<size_t>(needed));
    }
    return false;
}

}  // namespace lwu
