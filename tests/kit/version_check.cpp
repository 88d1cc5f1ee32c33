// version_check FILE...: reads each binary's version resource as Windows shows it (the
// properties dialog reads it the same way) and compares it with the project's version.
// Prints one line per finding; exits 0 when every file carries the version and its names.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "varko_version.h"

namespace {

int failures = 0;

void Expect(bool ok, const std::wstring& file, const std::wstring& what) {
    std::wprintf(L"%ls: %ls: %ls\n", ok ? L"ok" : L"FAILED", file.c_str(), what.c_str());
    if (!ok) ++failures;
}

std::wstring Widen(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::wstring BaseName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(value));
    return text;
}

// The string of the resource's first translation, or nothing when it is missing.
bool QueryString(const std::vector<BYTE>& info, const std::wstring& translation, const wchar_t* name,
                 std::wstring& value) {
    std::wstring key = L"\\StringFileInfo\\" + translation + L"\\" + name;
    wchar_t* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length) || text == nullptr) {
        return false;
    }
    value.assign(text);
    return true;
}

void CheckFile(const std::wstring& path) {
    const DWORD wantMs = (VARKO_VERSION_MAJOR << 16) | VARKO_VERSION_MINOR;
    const DWORD wantLs = (VARKO_VERSION_BUILD << 16) | VARKO_VERSION_REVISION;
    const std::wstring wantText = Widen(VARKO_VERSION_TEXT);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        Expect(false, path, L"no version resource (GetFileVersionInfoSizeW error " + std::to_wstring(GetLastError()) + L")");
        return;
    }
    std::vector<BYTE> info(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
        Expect(false, path, L"GetFileVersionInfoW error " + std::to_wstring(GetLastError()));
        return;
    }

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof(*fixed)) {
        Expect(false, path, L"no fixed file information");
        return;
    }
    Expect(fixed->dwSignature == 0xFEEF04BDu, path, L"signature " + Hex(fixed->dwSignature));
    Expect(fixed->dwFileVersionMS == wantMs && fixed->dwFileVersionLS == wantLs, path,
           L"file version " + Hex(fixed->dwFileVersionMS) + L" " + Hex(fixed->dwFileVersionLS));
    Expect(fixed->dwProductVersionMS == wantMs && fixed->dwProductVersionLS == wantLs, path,
           L"product version " + Hex(fixed->dwProductVersionMS) + L" " + Hex(fixed->dwProductVersionLS));

    struct Translation {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(Translation)) {
        Expect(false, path, L"no translation");
        return;
    }
    wchar_t key[16];
    std::swprintf(key, 16, L"%04x%04x", translations[0].language, translations[0].codePage);

    std::wstring text;
    bool found = QueryString(info, key, L"FileVersion", text);
    Expect(found && text == wantText, path, L"FileVersion \"" + text + L"\"");
    text.clear();
    found = QueryString(info, key, L"ProductVersion", text);
    Expect(found && text == wantText, path, L"ProductVersion \"" + text + L"\"");
    text.clear();
    found = QueryString(info, key, L"OriginalFilename", text);
    Expect(found && text == BaseName(path), path, L"OriginalFilename \"" + text + L"\"");
    for (const wchar_t* name : {L"FileDescription", L"ProductName"}) {
        text.clear();
        found = QueryString(info, key, name, text);
        Expect(found && !text.empty(), path, std::wstring(name) + L" \"" + text + L"\"");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::wprintf(L"usage: version_check FILE...\n");
        return 2;
    }
    std::wprintf(L"project version %ls\n", Widen(VARKO_VERSION_TEXT).c_str());
    for (int i = 1; i < argc; ++i) CheckFile(argv[i]);
    std::wprintf(L"%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
