#include "check_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace check {

std::string ProgramFolder() {
    char path[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/"));
}

std::string ReadFileText(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got) text.append(chunk, got);
    CloseHandle(f);
    return text;
}

namespace {

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        q.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        q += c;
    }
    q.append(slashes * 2, '\\');
    return q + "\"";
}

HANDLE Inheritable(const std::string& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string TempPath(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "fieldtool_check_" + std::to_string(GetCurrentProcessId()) + "_" + name;
}

}  // namespace

Outcome Run(const std::string& program, const std::vector<std::string>& args, const std::string& scenario,
            const During* during, DWORD timeoutMs) {
    Outcome o;
    const std::string outPath = TempPath("out.txt"), errPath = TempPath("err.txt"), reportPath = TempPath("report.txt");
    DeleteFileA(reportPath.c_str());
    if (scenario.empty()) {
        SetEnvironmentVariableA("VARKO_SIM_SCENARIO", nullptr);
    } else {
        SetEnvironmentVariableA("VARKO_SIM_SCENARIO", (ProgramFolder() + "\\scenarios\\" + scenario + ".scn").c_str());
    }
    SetEnvironmentVariableA("VARKO_SIM_REPORT", reportPath.c_str());
    HANDLE out = Inheritable(outPath), err = Inheritable(errPath);
    std::string line = Quote(program);
    for (const std::string& a : args) line += " " + Quote(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    // A process group of its own, as a console starts a program it interrupts apart from others.
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi)) {
        o.err = "CreateProcess failed: " + std::to_string(GetLastError());
        CloseHandle(out);
        CloseHandle(err);
        return o;
    }
    CloseHandle(out);
    CloseHandle(err);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    if (during) {
        while (GetTickCount64() < deadline && WaitForSingleObject(pi.hProcess, 50) == WAIT_TIMEOUT) {
            if (during->until(ReadFileText(outPath), ReadFileText(reportPath))) {
                during->act(pi.hProcess);
                break;
            }
        }
    }
    const ULONGLONG now = GetTickCount64();
    if (WaitForSingleObject(pi.hProcess, now < deadline ? static_cast<DWORD>(deadline - now) : 0) == WAIT_TIMEOUT) {
        o.timedOut = true;
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    o.exitCode = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    o.out = ReadFileText(outPath);
    o.err = ReadFileText(errPath);
    o.report = ReadFileText(reportPath);
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
    DeleteFileA(reportPath.c_str());
    return o;
}

bool SendCtrl(HANDLE process, DWORD event) {
    HMODULE base = GetModuleHandleA("kernelbase.dll");
    FARPROC routine = base ? GetProcAddress(base, "CtrlRoutine") : nullptr;
    if (!routine) routine = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine");
    if (!routine) return false;
    // The system DLLs lie at the same address in every process of the session.
    HANDLE thread = CreateRemoteThread(process, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine)),
                                       reinterpret_cast<void*>(static_cast<uintptr_t>(event)), 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}

void PressCtrlAltDelete() {
    const WORD keys[] = {VK_CONTROL, VK_MENU, VK_DELETE};
    INPUT inputs[6] = {};
    for (int i = 0; i < 3; ++i) {
        inputs[i].type = INPUT_KEYBOARD;
        inputs[i].ki.wVk = keys[i];
        inputs[5 - i].type = INPUT_KEYBOARD;
        inputs[5 - i].ki.wVk = keys[i];
        inputs[5 - i].ki.dwFlags = KEYEVENTF_KEYUP;
    }
    SendInput(6, inputs, sizeof(INPUT));
}

// JSON reading.

namespace {

struct Parser {
    const std::string& s;
    size_t at = 0;
    std::string error;

    void Blank() {
        while (at < s.size() && std::strchr(" \t\r\n", s[at])) ++at;
    }
    bool Fail(const char* what) {
        if (error.empty()) error = std::string(what) + " at offset " + std::to_string(at);
        return false;
    }
    bool Literal(const char* word) {
        size_t n = std::strlen(word);
        if (s.compare(at, n, word) != 0) return Fail("unknown literal");
        at += n;
        return true;
    }
    bool Text(std::string& out) {
        if (s[at] != '"') return Fail("string expected");
        for (++at; at < s.size() && s[at] != '"'; ++at) {
            char c = s[at];
            if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++at >= s.size()) return Fail("open escape");
            switch (s[at]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (at + 4 >= s.size()) return Fail("short \\u escape");
                unsigned v = static_cast<unsigned>(std::strtoul(s.substr(at + 1, 4).c_str(), nullptr, 16));
                out += v < 0x80 ? static_cast<char>(v) : '?';
                at += 4;
                break;
            }
            default: out += s[at];
            }
        }
        if (at >= s.size()) return Fail("open string");
        ++at;
        return true;
    }
    bool Value(JsonValue& v) {
        Blank();
        if (at >= s.size()) return Fail("value expected");
        char c = s[at];
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            v.kind = object ? JsonValue::Object : JsonValue::Array;
            ++at;
            Blank();
            if (at < s.size() && s[at] == (object ? '}' : ']')) {
                ++at;
                return true;
            }
            for (;;) {
                Blank();
                if (object) {
                    std::string key;
                    if (at >= s.size() || !Text(key)) return Fail("key expected");
                    Blank();
                    if (at >= s.size() || s[at++] != ':') return Fail("':' expected");
                    v.members.emplace_back(key, JsonValue());
                    if (!Value(v.members.back().second)) return false;
                } else {
                    v.items.emplace_back();
                    if (!Value(v.items.back())) return false;
                }
                Blank();
                if (at < s.size() && s[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < s.size() && s[at] == (object ? '}' : ']')) {
                    ++at;
                    return true;
                }
                return Fail("',' or end of container expected");
            }
        }
        if (c == '"') {
            v.kind = JsonValue::String;
            return Text(v.text);
        }
        if (c == 't' || c == 'f') {
            v.kind = JsonValue::Bool;
            v.boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') return Literal("null");
        char* end = nullptr;
        v.kind = JsonValue::Number;
        v.number = std::strtod(s.c_str() + at, &end);
        if (end == s.c_str() + at) return Fail("value expected");
        at = static_cast<size_t>(end - s.c_str());
        return true;
    }
};

}  // namespace

bool ParseJson(const std::string& text, JsonValue& value, std::string& error) {
    Parser p{text, 0, std::string()};
    if (!p.Value(value)) {
        error = p.error;
        return false;
    }
    p.Blank();
    if (p.at != text.size()) {
        error = "text after the document at offset " + std::to_string(p.at);
        return false;
    }
    return true;
}

const JsonValue* JsonValue::Find(const std::string& path) const {
    const JsonValue* v = this;
    size_t start = 0;
    while (v && start <= path.size()) {
        size_t dot = path.find('.', start);
        std::string key = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        const JsonValue* next = nullptr;
        if (v->kind == Object) {
            for (const auto& m : v->members)
                if (m.first == key) next = &m.second;
        } else if (v->kind == Array && !key.empty() && key.find_first_not_of("0123456789") == std::string::npos) {
            size_t i = std::stoul(key);
            if (i < v->items.size()) next = &v->items[i];
        }
        v = next;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return v;
}

std::string JsonValue::Scalar() const {
    switch (kind) {
    case Null: return "null";
    case Bool: return boolean ? "true" : "false";
    case String: return text;
    case Number: {
        char t[40];
        if (number == static_cast<double>(static_cast<long long>(number)))
            std::snprintf(t, sizeof t, "%lld", static_cast<long long>(number));
        else
            std::snprintf(t, sizeof t, "%g", number);
        return t;
    }
    case Array: return "[" + std::to_string(items.size()) + " items]";
    case Object: return "{object}";
    }
    return std::string();
}

}  // namespace check
