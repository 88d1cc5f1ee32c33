// What several subcommands share: the class option and the clock's text.
#include <windows.h>

#include <cstdio>

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
