// lock: locks keyboard and mouse for a time (or until Ctrl+Alt+Del), announcing the keyboard
// events given, and reports how the lock ended.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "interrupt.h"

namespace fieldtool {

namespace {

struct Message {
    const char* name;
    uint32_t value;
};
const Message kKeyboardMessages[] = {
    {"WM_KEYDOWN", 0x0100}, {"WM_KEYUP", 0x0101}, {"WM_SYSKEYDOWN", 0x0104}, {"WM_SYSKEYUP", 0x0105}};

bool ParseMessage(const std::string& text, uint32_t& value, std::string& error) {
    for (const Message& m : kKeyboardMessages) {
        if (text == m.name) {
            value = m.value;
            return true;
        }
    }
    uint64_t number = 0;
    if (!ParseNumber(text, 0, 0xFFFFFFFFu, "--allow-keyboard", number, error)) {
        error += " (or WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP)";
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

int Run(Context& ctx) {
    std::string error;
    uint64_t seconds = 0;
    if (!ctx.args.Has("seconds")) return ctx.Usage("lock needs --seconds N");
    if (!OptionNumber(ctx.args, "seconds", 0, 1, 86400, seconds, error)) return ctx.Usage(error);
    std::vector<uint32_t> announced;
    for (const std::string& text : ctx.args.Values("allow-keyboard")) {
        uint32_t value = 0;
        if (!ParseMessage(text, value, error)) return ctx.Usage(error);
        announced.push_back(value);
    }
    const InputGateApi& gate = *ctx.gate;
    ctx.json.Field("seconds", seconds);
    if (!gate.LockInput(true)) {
        gate.LockInput(false);
        return ctx.Fail(Fail(kExitFailed, "LockInput(true) returned false: the input lock could not be taken"));
    }
    // Announced after the lock: announcements made while unlocked are dropped.
    for (uint32_t value : announced) gate.AllowKeyboardEvent(value);
    char line[96];
    std::snprintf(line, sizeof line, "input locked for %u s (%zu keyboard events announced); Ctrl+Alt+Del ends it",
                  static_cast<unsigned>(seconds), announced.size());
    ctx.Line(line);
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG deadline = start + seconds * 1000;
    const char* ended = "time";
    for (;;) {
        if (!gate.IsBlocked()) {
            ended = "ctrl-alt-del";
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        if (Interrupts::WaitFor(static_cast<DWORD>(std::min<ULONGLONG>(50, deadline - now)))) {
            ended = "interrupted";
            break;
        }
    }
    gate.LockInput(false);   // also after Ctrl+Alt+Del: it ends the lock thread's last traces
    const double held = static_cast<double>(GetTickCount64() - start) / 1000.0;
    const bool unlocked = !gate.IsBlocked();
    const std::string how = std::string(ended) == "time"           ? "the time is up"
                            : std::string(ended) == "ctrl-alt-del" ? "Ctrl+Alt+Del was pressed"
                                                                   : std::string(Interrupts::Which()) + " came";
    std::snprintf(line, sizeof line, "%.2f s", held);
    ctx.Line("ended: " + how + " after " + line + "; input " + (unlocked ? "unlocked" : "STILL LOCKED"));
    ctx.json.Field("ended", ended).Field("held_s", held).Field("unlocked", unlocked).Key("announced").BeginArray();
    for (uint32_t value : announced) ctx.json.Number(static_cast<int64_t>(value));
    ctx.json.EndArray();
    if (!unlocked) return ctx.Fail(Fail(kExitFailed, "the input is still locked after LockInput(false)"));
    if (std::string(ended) == "interrupted")
        return ctx.Fail(Fail(kExitInterrupted, std::string("interrupted by ") + Interrupts::Which() + "; input unlocked"));
    return kExitOk;
}

}  // namespace

const Command& LockCommand() {
    static const Command command{
        "lock", "--seconds N [--allow-keyboard MSG]...",
        "locks keyboard and mouse for N seconds or until Ctrl+Alt+Del; reports how it ended",
        "  --seconds N           how long the lock holds (1 to 86400)\n"
        "  --allow-keyboard MSG  announce one keyboard event that may pass (repeatable): WM_KEYDOWN,\n"
        "                        WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP or the message's number\n"
        "Ends with the time, with Ctrl+Alt+Del (the lock gives itself up), or with Ctrl+C or\n"
        "Ctrl+Break (exit code 130); the input is unlocked in every case. While locked, the\n"
        "keys of Ctrl+C are swallowed too: end it early with Ctrl+Alt+Del.\n"
        "Example:\n"
        "  VarkoFieldTool lock --seconds 10 --allow-keyboard WM_KEYDOWN --allow-keyboard WM_KEYUP\n",
        {{"seconds", true, false}, {"allow-keyboard", true, true}},
        0, 0, Needs::InputGate, Run};
    return command;
}

}  // namespace fieldtool
