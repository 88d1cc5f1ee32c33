// The subcommands: each one is a table entry with its options, its help and its body.
#pragma once
#include <string>
#include <vector>

#include "args.h"
#include "errors.h"
#include "json.h"
#include "library.h"
#include "output.h"

namespace fieldtool {

// The maker's device interface class, the default of list and watch.
constexpr char kMakerClass[] = "{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}";

// What a running subcommand has: the output, the JSON document (an object already open, which
// the subcommand adds its fields to), its arguments and the loaded libraries.
struct Context {
    Output& out;
    Json& json;
    const Args& args;
    bool jsonMode = false;
    const LinkWinUsbApi* lwu = nullptr;
    const InputGateApi* gate = nullptr;
    Failure failure;

    // A line of text output (nothing in --json mode).
    void Line(const std::string& text) {
        if (!jsonMode) out.Out(text + "\n");
    }
    // Records the failure and returns its exit code.
    int Fail(const Failure& f) {
        failure = f;
        return f.exitCode;
    }
    int Usage(const std::string& what) { return Fail(fieldtool::Fail(kExitUsage, what)); }
};

enum class Needs { LinkWinUsb, InputGate };

struct Command {
    const char* name;
    const char* synopsis;   // the usage line's arguments
    const char* summary;    // one line for the tool's help
    const char* help;       // the options and an example
    std::vector<OptionSpec> options;
    size_t minPositionals;
    size_t maxPositionals;
    Needs needs;
    int (*run)(Context&);
};

const Command& ListCommand();
const Command& InfoCommand();
const Command& WatchCommand();
const Command& EchoCommand();
const Command& RawCommand();
const Command& LockCommand();

// The class option of list and watch: the text given, checked, or the maker's class.
bool ClassOption(Context& ctx, std::wstring& classText, std::string& narrow);

// The interfaces of the class present now (the report of a Configuration Manager registration,
// released again at once).
bool PresentInterfaces(const LinkWinUsbApi& lwu, const std::wstring& classText, const std::string& classNarrow,
                       std::vector<std::string>& paths, Failure& failure);
// The PATH argument: a device interface path as it is (it starts with \\), or a part of one (a
// serial number, "pid_0101") that names exactly one present interface of the class (--class).
// False with the failure recorded.
bool DevicePath(Context& ctx, std::string& path);

// Local time as "HH:MM:SS.mmm" and as ISO 8601 with milliseconds.
std::string ClockText(bool iso);

}  // namespace fieldtool
