// What several subcommands share: the class option and the clock's text.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <mutex>

#include "commands.h"

namespace fieldtool {

bool ClassOption(Context& ctx, std::wstring& classText, std::string& narrow) {
    narrow = ctx.args.Value("class", kMakerClass);
    if (!IsGuidText(narrow)) {
        ctx.Usage("--class needs a GUID in braces, {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, not '" + narrow + "'");
        return false;
    }
    classText.assign(narrow.begin(), narrow.end());
    return true;
}

namespace {

// The callback gets no context: what the registration reported lives here.
struct Present {
    std::mutex mutex;
    DWORD registeringThread = 0;
    std::vector<std::string> paths;
};
Present present;

void __cdecl OnPresent(int32_t action, const char* path) {
    std::lock_guard<std::mutex> hold(present.mutex);
    // Only the report of the registration itself, which runs on the registering thread; an
    // arrival in the meantime comes on another thread and is left out.
    if (action == LWU_DEVICE_ARRIVAL && GetCurrentThreadId() == present.registeringThread && path)
        present.paths.push_back(path);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool PresentInterfaces(const LinkWinUsbApi& lwu, const std::wstring& classText, const std::string& classNarrow,
                       std::vector<std::string>& paths, Failure& failure) {
    {
        std::lock_guard<std::mutex> hold(present.mutex);
        present.registeringThread = GetCurrentThreadId();
        present.paths.clear();
    }
    uint32_t status = lwu.CmRegisterNotification(OnPresent, classText.c_str());
    if (status != 0) {
        failure = FailStatus("CmRegisterNotification for " + classNarrow + " failed", status);
        return false;
    }
    status = lwu.CmUnregisterNotification(OnPresent, classText.c_str());
    std::lock_guard<std::mutex> hold(present.mutex);
    paths = present.paths;
    if (status != 0) {
        failure = FailStatus("CmUnregisterNotification failed", status);
        return false;
    }
    return true;
}

bool DevicePath(Context& ctx, std::string& path) {
    path = ctx.args.positionals()[0];
    if (path.compare(0, 2, "\\\\") == 0) return true;   // a path as the system gives it
    std::wstring classText;
    std::string classNarrow;
    if (!ClassOption(ctx, classText, classNarrow)) return false;
    std::vector<std::string> paths, matches;
    if (!PresentInterfaces(*ctx.lwu, classText, classNarrow, paths, ctx.failure)) return false;
    for (const std::string& p : paths)
        if (Lower(p).find(Lower(path)) != std::string::npos) matches.push_back(p);
    if (matches.size() == 1) {
        path = matches[0];
        return true;
    }
    if (matches.empty()) {
        ctx.Fail(Fail(kExitNoDevice, "no present interface of class " + classNarrow + " matches '" + path + "'"));
    } else {
        std::string all;
        for (const std::string& m : matches) all += "\n  " + m;
        ctx.Usage("'" + path + "' matches " + std::to_string(matches.size()) + " interfaces; name one:" + all);
    }
    return false;
}

std::string ClockText(bool iso) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[40];
    if (iso) {
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond, t.wMilliseconds);
    } else {
        std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    }
    return text;
}

}  // namespace fieldtool
