// VarkoFieldTool: a command-line client of LinkWinUsb and the input lock DLL, for the field.
// Finds the subcommand, parses its arguments, takes standard output over from the libraries,
// loads the library the subcommand needs, runs it, and writes the JSON document or the error.
#include <windows.h>

#include <cstdio>
#include <exception>

#include "commands.h"
#include "interrupt.h"

#ifndef VARKO_FIELDTOOL_VERSION
#error "the build passes the project's version as VARKO_FIELDTOOL_VERSION"
#endif

namespace fieldtool {

namespace {

const char kTool[] = "VarkoFieldTool";

const Command* const* Commands() {
    static const Command* const list[] = {&ListCommand(), &InfoCommand(), &WatchCommand(),
                                          &EchoCommand(), &RawCommand(),  &LockCommand(), nullptr};
    return list;
}

const Command* FindCommand(const std::string& name) {
    for (const Command* const* c = Commands(); *c; ++c)
        if (name == (*c)->name) return *c;
    return nullptr;
}

std::string Width() {
#if defined(_WIN64)
    return "x64";
#else
    return "x86";
#endif
}

std::string ToolHelp() {
    std::string text = std::string(kTool) + " " + VARKO_FIELDTOOL_VERSION + " (" + Width() +
                       "): a field tool for the maker's USB devices, a client of LinkWinUsb.dll and " +
                       InputGateName() + ".\n\nUsage: " + kTool + " COMMAND [ARGUMENTS] [--json] [--quiet]\n\n";
    for (const Command* const* c = Commands(); *c; ++c) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-6s %s\n", (*c)->name, (*c)->summary);
        text += line;
    }
    text += "\n  --json     one JSON document on standard output instead of text\n"
            "  --quiet    drop the libraries' own diagnostic lines (else they go to standard error)\n"
            "  --version  the tool's version\n\n" +
            std::string(kTool) + " COMMAND --help shows a command's options and an example.\n";
    return text;
}

std::string CommandHelp(const Command& c) {
    return std::string("Usage: ") + kTool + " " + c.name + " " + c.synopsis + " [--json] [--quiet]\n" + c.summary +
           ".\n\n" + c.help;
}

void WriteError(Output& out, const std::string& command, const Failure& f) {
    out.Err(std::string(kTool) + (command.empty() ? "" : " " + command) + ": " + f.message + "\n");
}

void ErrorJson(Json& json, const Failure& f) {
    static const char* const kinds[] = {"none", "win32", "hresult", "library", "read_result"};
    json.Key("error").BeginObject().Field("message", f.message).Field("kind", kinds[static_cast<int>(f.kind)]);
    if (f.kind != CodeKind::None) json.Field("code", f.code).Field("code_hex", Hex(f.code, 8)).Field("text", f.codeText);
    json.EndObject();
}

bool WantsJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--json") return true;
    return false;
}

int Main(int argc, char** argv) {
    Output out;
    const bool jsonMode = WantsJson(argc, argv);
    Json json;
    json.BeginObject().Field("tool", kTool).Field("version", VARKO_FIELDTOOL_VERSION).Field("width", Width());
    std::string commandName = argc > 1 ? argv[1] : "";
    auto finish = [&](int code, const Failure* failure) {
        out.Finish();
        if (failure && code != kExitOk) WriteError(out, commandName, *failure);
        if (jsonMode) {
            json.CloseTo(1);
            json.Field("ok", code == kExitOk).Field("exit_code", code);
            if (failure && code != kExitOk) ErrorJson(json, *failure);
            json.EndObject();
            out.Out(json.Text() + "\n");
        }
        return code;
    };

    if (commandName == "--version") {
        out.Out(std::string(kTool) + " " + VARKO_FIELDTOOL_VERSION + " (" + Width() + ")\n");
        return kExitOk;
    }
    if (commandName == "--help" || commandName == "-h" || commandName == "help") {
        const Command* c = argc > 2 ? FindCommand(argv[2]) : nullptr;
        out.Out(c ? CommandHelp(*c) : ToolHelp());
        return kExitOk;
    }
    const Command* command = FindCommand(commandName);
    if (!command) {
        Failure f = Fail(kExitUsage, commandName.empty() ? "no command given" : "unknown command '" + commandName + "'");
        f.message += " (" + std::string(kTool) + " --help lists the commands)";
        if (!jsonMode) out.Err(ToolHelp());
        commandName.clear();
        return finish(kExitUsage, &f);
    }
    json.Field("command", command->name);
    Args args;
    std::string error;
    const bool parsed = args.Parse(argc, argv, 2, command->options, error);
    // --help needs none of the command's arguments.
    if (parsed && args.Has("help")) {
        out.Out(CommandHelp(*command));
        return kExitOk;
    }
    if (!parsed || args.positionals().size() < command->minPositionals ||
        args.positionals().size() > command->maxPositionals) {
        if (error.empty()) error = std::string("arguments: ") + command->synopsis;
        Failure f = Fail(kExitUsage, error + " (see " + kTool + " " + command->name + " --help)");
        return finish(kExitUsage, &f);
    }

    Interrupts::Install();
    DWORD redirectError = 0;
    if (!out.Redirect(args.Has("quiet"), redirectError)) {
        Failure f = FailWith(kExitFailed, "cannot take standard output over from the libraries", CodeKind::Win32,
                             redirectError);
        return finish(f.exitCode, &f);
    }
    Context ctx{out, json, args, jsonMode, nullptr, nullptr, Failure{}};
    Module module;
    LinkWinUsbApi lwu;
    InputGateApi gate;
    Failure failure;
    const bool loaded = command->needs == Needs::LinkWinUsb ? LoadLinkWinUsb(module, lwu, failure)
                                                            : LoadInputGate(module, gate, failure);
    if (!loaded) return finish(failure.exitCode, &failure);
    ctx.lwu = &lwu;
    ctx.gate = &gate;
    json.Field("library", module.Path());
    const int code = command->run(ctx);
    Interrupts::Finished();
    return finish(code, &ctx.failure);
}

}  // namespace

}  // namespace fieldtool

int main(int argc, char** argv) {
    try {
        return fieldtool::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VarkoFieldTool: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "VarkoFieldTool: internal error\n");
    }
    return fieldtool::kExitFailed;
}
