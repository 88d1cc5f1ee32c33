// fieldtool_check GROUP: runs VarkoFieldTool (beside this program) against the shipped scenario
// files, one row per run, and checks its exit code, its text or JSON output, its standard error
// and the world's report file. The same rows run in both widths.
//   out/err: each text must appear; "!text" must not.
//   json:    {path, want}: want is the member's value, "*" (present), "!" (absent), "~text"
//            (contains), ">N" (a number above N); stdout must be exactly one JSON document.
//   report:  lines the world's report file holds at the end ("!line": does not).
//   act:     Ctrl+Break, Ctrl+C or Ctrl+Alt+Del, once `when` shows ("out:" or "report:" text).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check_support.h"

namespace {

enum class Act { None, Break, CtrlC, CtrlAltDel };

struct Case {
    const char* group;
    const char* name;
    const char* scenario;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> out = {};
    std::vector<std::string> err = {};
    std::vector<std::pair<std::string, std::string>> json = {};
    std::vector<std::string> report = {};
    Act act = Act::None;
    const char* when = "";
    bool alone = false;   // the tool copied to a folder of its own, without the DLLs
};

const std::string kVersion = VARKO_FIELDTOOL_VERSION;
const std::string kClassOther = "{00000000-1111-2222-3333-444444444444}";
const std::string kNoPath = "\\\\?\\C:\\simworld\\0\\usb#vid_1209&pid_0999#NONE#{8f0a6c3e-5b1d-4c2a-9e7f-3d2b1a0c9e8d}";
const std::string kClosed = "open_files 0", kFreed = "winusb_handles 0", kNoCm = "cm_registrations 0";

const std::vector<Case> kCases = {
    // list
    {"list", "three devices", "default", {"list"}, 0,
     {"SIM0001", "vid=1209 pid=0100", "pid=0101", "manufacturer=\"Varko\" product=\"Simulated Link\" serial=\"SIM0003\""},
     {}, {}, {kNoCm}},
    {"list", "json", "default", {"list", "--json"}, 0, {}, {},
     {{"count", "3"}, {"ok", "true"}, {"interfaces.0.vendor_id", "4617"}, {"interfaces.1.product_id", "257"},
      {"interfaces.2.serial", "SIM0003"}, {"interfaces.0.manufacturer", "Varko"}, {"interfaces.0.path", "~#SIM0001#"},
      {"interfaces.3", "!"}, {"library", "~LinkWinUsb.dll"}}},
    {"list", "class with no devices", "empty", {"list", "--json"}, 5, {}, {"no interface of class"},
     {{"count", "0"}, {"ok", "false"}, {"exit_code", "5"}, {"error.message", "~is present"}}},
    {"list", "other class", "default", {"list", "--class", kClassOther}, 5, {"!SIM0001"}, {kClassOther}},
    {"list", "bad class", "default", {"list", "--class", "{nope}"}, 2, {}, {"--class needs a GUID"}},
    // info
    {"info", "text", "default", {"info", "SIM0002"}, 0,
     {"vendor 0x1209, product 0x0101", "serial number: \"SIM0002\"", "protocol:      version 1", "bcdUSB               0x0200 (2.00)",
      "idProduct            0x0101", "bNumConfigurations   1", "IN    bulk        address 0x81  packet size 512",
      "OUT   bulk        address 0x01", "control  pipe 0x00  5000 ms", "!Endpoint index"},
     {"Endpoint index: 1 Pipe type: bulk-in"}, {}, {kClosed, kFreed}},
    {"info", "json", "default", {"info", "pid_0102", "--json"}, 0, {}, {},
     {{"protocol.version", "2"}, {"identity.serial", "SIM0003"}, {"device_descriptor.idProduct", "258"},
      {"device_descriptor.bLength", "18"}, {"endpoints.0.address", "129"}, {"endpoints.1.type", "bulk"},
      {"endpoints.1.max_packet_size", "512"}, {"timeouts.2.timeout_ms", "5000"}, {"timeouts.0.timeout_ms", "0"}},
     {kClosed, kFreed}},
    {"info", "quiet drops the library's lines", "default", {"info", "SIM0001", "--quiet"}, 0, {"protocol:      version 0"},
     {"!Endpoint index"}},
    {"info", "no such path", "default", {"info", kNoPath, "--json"}, 1, {}, {"cannot open", "OpenDevice returned: HRESULT 0x8007000"},
     {{"error.kind", "hresult"}, {"error.code_hex", "~0x8007000"}, {"error.text", "*"}}},
    {"info", "no match", "default", {"info", "NOPE"}, 5, {}, {"no present interface of class"}},
    {"info", "ambiguous", "default", {"info", "SIM000"}, 2, {}, {"matches 3 interfaces"}},
    // watch
    {"watch", "hotplug", "hotplug", {"watch", "--seconds", "6", "--json"}, 0, {}, {},
     {{"present.2", "~#SIM0003#"}, {"present.3", "!"}, {"events.0.action", "arrival"}, {"events.0.path", "~LATE0001"},
      {"events.1.action", "removal"}, {"events.1.path", "~#SIM0001#"}, {"events.2", "!"}, {"arrivals", "1"},
      {"removals", "1"}, {"ended", "time"}, {"events.0.elapsed_s", ">1"}},
     {kNoCm, "device late present", "device link-v0 absent"}},
    {"watch", "hotplug text", "hotplug", {"watch", "--seconds", "6"}, 0,
     {"present  \\\\?\\", "  arrival  \\\\?\\", "LATE0001", "  removal  ", "ended: the time is up (1 arrivals, 1 removals)"}},
    {"watch", "window mechanism", "default", {"watch", "--mechanism", "window", "--seconds", "1", "--json"}, 0, {},
     {"Registered for USB device notification"},
     {{"mechanism", "window"}, {"present.2", "~#SIM0003#"}, {"events.0", "!"}, {"ended", "time"}}},
    {"watch", "no devices", "empty", {"watch", "--seconds", "1", "--json"}, 0, {}, {}, {{"present.0", "!"}, {"ended", "time"}}},
    {"watch", "bad mechanism", "default", {"watch", "--mechanism", "poll"}, 2, {}, {"--mechanism is cm or window"}},
    // echo
    {"echo", "text", "default", {"echo", "SIM0001", "--size", "4096", "--count", "20"}, 0,
     {"all 20 echoes matched byte for byte", "round trip: min ", ", p99 ", "throughput: "}, {"Wrote to pipe 1: 4096 bytes"},
     {}, {kClosed, kFreed, "device link-v0 present opens 1 received_messages 20"}},
    {"echo", "json", "default", {"echo", "SIM0003", "--size", "65536", "--count", "10", "--json", "--quiet"}, 0, {},
     {"!Wrote to pipe"},
     {{"matched", "10"}, {"ended", "done"}, {"size", "65536"}, {"latency_ms.min", ">0"}, {"latency_ms.p99", "*"},
      {"throughput.messages_per_s", ">0"}, {"device_closed", "true"}},
     {kClosed, "received_messages 10"}},
    {"echo", "device that does not echo", "silent", {"echo", "SILENT01", "--count", "3", "--timeout", "300", "--json"}, 4,
     {}, {"did not echo it within 300 ms"}, {{"matched", "0"}, {"ended", "failed"}, {"exit_code", "4"}}, {kClosed, kFreed}},
    {"echo", "unplugged during echo", "unplug-mid-echo", {"echo", "FLAKY001", "--size", "64", "--count", "100", "--json"}, 1,
     {}, {"message 50 of 100: Read failed; a control request to the device then failed: Win32 error 433"},
     {{"matched", "49"}, {"ended", "failed"}, {"error.kind", "win32"}, {"error.code", "*"}},
     {kClosed, kFreed, "device flaky absent"}},
    {"echo", "size 0", "default", {"echo", "SIM0001", "--size", "0"}, 2, {}, {"--size must be a number from 1 to 4096000"}},
    {"echo", "size too large", "default", {"echo", "SIM0001", "--size", "4096001"}, 2, {}, {"--size must be"}},
    // raw
    {"raw", "control in", "default", {"raw", "SIM0003", "control", "in", "--request", "0x81", "--length", "1"}, 0,
     {"bmRequestType 0xC1, bRequest 0x81", "received (1 bytes): 02"}},
    {"raw", "control in json", "default", {"raw", "SIM0002", "control", "in", "--request", "0x84", "--length", "4", "--json"},
     0, {}, {}, {{"bytes", "00 00 00 00"}, {"request_type", "193"}, {"status", "0"}}},
    {"raw", "write", "default", {"raw", "SIM0003", "write", "0x01", "--data", "68656c6c6f"}, 0, {"sent (5 bytes): 68 65 6c 6c 6f"},
     {}, {}, {"device link-v2 present opens 1 received_messages 1"}},
    {"raw", "read times out", "default", {"raw", "SIM0003", "read", "0x81", "--length", "5", "--timeout", "200", "--json"}, 1,
     {}, {"PipeRead of pipe 0x81 failed: Win32 error 121"}, {{"error.code", "121"}, {"status", "121"}}, {kClosed}},
    {"raw", "read of an OUT pipe", "default", {"raw", "SIM0003", "read", "0x01", "--length", "5"}, 2, {}, {"is an OUT pipe"}},
    {"raw", "bad hex", "default", {"raw", "SIM0003", "write", "0x01", "--data", "6g"}, 2, {}, {"not a hexadecimal digit"}},
    {"raw", "control needs a length", "default", {"raw", "SIM0003", "control", "in", "--request", "1"}, 2, {},
     {"control in needs --length"}},
    {"raw", "unknown operation", "default", {"raw", "SIM0003", "bulk"}, 2, {}, {"raw takes control, read or write"}},
    // lock
    {"lock", "time", nullptr, {"lock", "--seconds", "1", "--allow-keyboard", "WM_KEYDOWN", "--json"}, 0, {}, {},
     {{"ended", "time"}, {"unlocked", "true"}, {"announced.0", "256"}, {"library", "~inputgate"}}},
    {"lock", "ctrl-alt-del", nullptr, {"lock", "--seconds", "60"}, 0, {"ended: Ctrl+Alt+Del was pressed", "input unlocked"},
     {}, {}, {}, Act::CtrlAltDel, "out:input locked"},
    // Once the lock holds: a signal before the tool's handler is in place would find none.
    {"lock", "interrupted", nullptr, {"lock", "--seconds", "60"}, 130, {"input unlocked"}, {"interrupted by Ctrl+Break"},
     {}, {}, Act::Break, "out:input locked"},
    {"lock", "bad message", nullptr, {"lock", "--seconds", "1", "--allow-keyboard", "WM_BOGUS"}, 2, {}, {"WM_KEYDOWN"}},
    {"lock", "no time", nullptr, {"lock"}, 2, {}, {"lock needs --seconds"}},
    // arguments, help, version, loading
    {"usage", "version", nullptr, {"--version"}, 0, {"VarkoFieldTool " + kVersion + " (x"}},
    {"usage", "no command", nullptr, {}, 2, {}, {"no command given", "Usage: VarkoFieldTool COMMAND"}},
    {"usage", "unknown command", nullptr, {"frobnicate", "--json"}, 2, {}, {"unknown command 'frobnicate'"},
     {{"ok", "false"}, {"exit_code", "2"}}},
    {"usage", "unknown option", "default", {"list", "--bogus", "--json"}, 2, {}, {"unknown option --bogus"},
     {{"command", "list"}, {"error.message", "~--bogus"}}},
    {"usage", "extra argument", "default", {"list", "SIM0001"}, 2, {}, {"arguments: [--class GUID]"}},
    {"usage", "help list", nullptr, {"list", "--help"}, 0, {"Usage: VarkoFieldTool list [--class GUID]", "Example:"}},
    {"usage", "help info", nullptr, {"info", "--help"}, 0, {"Usage: VarkoFieldTool info PATH", "Example:"}},
    {"usage", "help watch", nullptr, {"help", "watch"}, 0, {"--mechanism cm|window", "Example:"}},
    {"usage", "help echo", nullptr, {"echo", "--help"}, 0, {"--size N", "Example:"}},
    {"usage", "help raw", nullptr, {"raw", "--help"}, 0, {"control in|out", "Example:"}},
    {"usage", "help lock", nullptr, {"lock", "--help"}, 0, {"--allow-keyboard MSG", "Example:"}},
    {"usage", "no library beside it", "default", {"list", "--json"}, 3, {}, {"cannot load LinkWinUsb.dll: Win32 error 126"},
     {{"error.code", "126"}, {"error.kind", "win32"}}, {}, Act::None, "", true},
    // Ctrl+C and Ctrl+Break: the world's report shows the device closed and the registration released.
    {"interrupt", "watch", "default", {"watch"}, 0, {"ended: Ctrl+Break came (0 arrivals, 0 removals); registration released"},
     {}, {}, {kNoCm}, Act::Break, "report:cm_registrations 1"},
    {"interrupt", "watch ctrl-c", "default", {"watch", "--json"}, 0, {}, {}, {{"ended", "interrupted"}, {"present.2", "*"}},
     {kNoCm}, Act::CtrlC, "report:cm_registrations 1"},
    {"interrupt", "watch window", "default", {"watch", "--mechanism", "window"}, 0, {"ended: Ctrl+Break came"}, {}, {}, {},
     Act::Break, "out:present  \\\\?\\C:\\simworld\\"},
    {"interrupt", "echo", "default", {"echo", "SIM0002", "--size", "65536", "--count", "100000000", "--json", "--quiet"}, 130,
     {}, {"interrupted by Ctrl+Break after"},
     {{"ended", "interrupted"}, {"device_closed", "true"}, {"matched", ">0"}, {"latency_ms.max", "*"}},
     {kClosed, kFreed}, Act::Break, "report:open_files 1"},
    {"interrupt", "echo ctrl-c", "default", {"echo", "SIM0001", "--size", "4096", "--count", "100000000"}, 130,
     {"interrupted (Ctrl+C) after", "; device closed"}, {}, {}, {kClosed, kFreed}, Act::CtrlC, "report:open_files 1"},
    {"interrupt", "waiting transfer", "default", {"raw", "SIM0003", "read", "0x81", "--length", "8", "--timeout", "600000"},
     130, {}, {"the transfer was aborted"}, {}, {kClosed, kFreed}, Act::Break, "report:open_files 1"},
};

int failures = 0;

void Check(bool ok, const Case& c, const std::string& what) {
    if (ok) return;
    ++failures;
    std::printf("  FAILED %s/%s: %s\n", c.group, c.name, what.c_str());
}

bool Has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

void Texts(const Case& c, const char* stream, const std::string& text, const std::vector<std::string>& wants) {
    for (const std::string& w : wants) {
        const bool absent = !w.empty() && w[0] == '!';
        const std::string needle = absent ? w.substr(1) : w;
        Check(Has(text, needle) != absent, c, std::string(stream) + (absent ? " holds '" : " lacks '") + needle + "'");
    }
}

void JsonChecks(const Case& c, const std::string& out) {
    check::JsonValue doc;
    std::string error;
    if (!check::ParseJson(out, doc, error)) {
        Check(false, c, "standard output is not one JSON document: " + error);
        return;
    }
    for (const auto& [path, want] : c.json) {
        const check::JsonValue* v = doc.Find(path);
        if (want == "!") {
            Check(v == nullptr, c, path + " is present: " + (v ? v->Scalar() : ""));
        } else if (!v) {
            Check(false, c, path + " is missing");
        } else if (want == "*") {
        } else if (want[0] == '~') {
            Check(Has(v->Scalar(), want.substr(1)), c, path + " = '" + v->Scalar() + "' lacks '" + want.substr(1) + "'");
        } else if (want[0] == '>') {
            Check(v->kind == check::JsonValue::Number && v->number > std::atof(want.c_str() + 1), c,
                  path + " = " + v->Scalar() + ", not " + want);
        } else {
            Check(v->Scalar() == want, c, path + " = '" + v->Scalar() + "', not '" + want + "'");
        }
    }
}

// The tool alone in a folder of its own: no DLL lies beside it.
std::string LoneCopy(const std::string& tool) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    std::string folder = std::string(dir) + "fieldtool_alone_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string copy = folder + "\\VarkoFieldTool.exe";
    CopyFileA(tool.c_str(), copy.c_str(), FALSE);
    return copy;
}

void RunCase(const Case& c) {
    const std::string tool = check::ProgramFolder() + "\\VarkoFieldTool.exe";
    const std::string program = c.alone ? LoneCopy(tool) : tool;
    check::During during;
    const std::string when = c.when;
    during.until = [when](const std::string& out, const std::string& report) {
        if (when.compare(0, 4, "out:") == 0) return Has(out, when.substr(4));
        return Has(report, when.substr(7));
    };
    bool acted = false;
    during.act = [&](HANDLE process) {
        acted = c.act == Act::CtrlAltDel ? (check::PressCtrlAltDelete(), true)
                                         : check::SendCtrl(process, c.act == Act::CtrlC ? CTRL_C_EVENT : CTRL_BREAK_EVENT);
    };
    const check::Outcome o = check::Run(program, c.args, c.scenario ? c.scenario : "", c.act == Act::None ? nullptr : &during,
                                        c.act == Act::None ? 90000 : 120000);
    const int before = failures;
    Check(!o.timedOut, c, "the tool did not end in time");
    Check(c.act == Act::None || acted, c, std::string("the signal was not delivered (waited for '") + c.when + "')");
    Check(o.exitCode == c.exitCode, c, "exit code " + std::to_string(o.exitCode) + ", not " + std::to_string(c.exitCode));
    Texts(c, "stdout", o.out, c.out);
    Texts(c, "stderr", o.err, c.err);
    if (!c.json.empty()) JsonChecks(c, o.out);
    Texts(c, "report", o.report, c.report);
    if (failures == before) {
        std::printf("ok: %s/%s (exit %d)\n", c.group, c.name, o.exitCode);
    } else {
        std::printf("  --- stdout:\n%s\n  --- stderr (first 2000 bytes):\n%s\n  --- report:\n%s\n", o.out.c_str(),
                    o.err.substr(0, 2000).c_str(), o.report.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string group = argc > 1 ? argv[1] : "";
    int ran = 0;
    for (const Case& c : kCases) {
        if (group != "all" && group != c.group) continue;
        RunCase(c);
        std::fflush(stdout);
        ++ran;
    }
    std::printf("%d cases of group '%s', %d failed checks\n", ran, group.c_str(), failures);
    return ran == 0 || failures ? 1 : 0;
}
