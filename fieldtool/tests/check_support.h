// What the field tool's checks need: running the tool as a separate process against a scenario
// file, with its standard output, standard error and the world's report file captured; sending it
// Ctrl+C or Ctrl+Break; pressing keys; reading a JSON document.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace check {

std::string ProgramFolder();   // the folder of this program, which holds the tool
std::string ReadFileText(const std::string& path);

struct Outcome {
    int exitCode = -1;
    std::string out, err, report;
    bool timedOut = false;
};

// What happens while the tool runs: wait until `until` holds (or `timeoutMs` passes), then act.
struct During {
    std::function<bool(const std::string& out, const std::string& report)> until;
    std::function<void(HANDLE process)> act;
};

// Runs `program` with `args` (quoted as needed) with VARKO_SIM_SCENARIO set to the scenario file
// (none when empty) and VARKO_SIM_REPORT to a fresh report file.
Outcome Run(const std::string& program, const std::vector<std::string>& args, const std::string& scenario,
            const During* during, DWORD timeoutMs);

// The console's control event in the process, delivered as the system delivers it: a thread of the
// process that starts in kernelbase's CtrlRoutine with the event.
bool SendCtrl(HANDLE process, DWORD event);
// Ctrl, Alt and Delete down, then up, through SendInput.
void PressCtrlAltDelete();

// A parsed JSON document; Find("a.b.0.c") names a member by keys and array indices.
struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    const JsonValue* Find(const std::string& path) const;
    std::string Scalar() const;   // text of a scalar: "true", "12", "abc", "null"
};
// Parses exactly one document (blanks around it allowed); false with `error` otherwise.
bool ParseJson(const std::string& text, JsonValue& value, std::string& error);

}  // namespace check
