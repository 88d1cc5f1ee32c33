// The device-node tree of the substitute SetupAPI: nodes per setup class with their instance
// IDs and presence, listed by SetupDiGetClassDevsW and removed by the class installer.
// Contracts kept from the platform: flags 0 list non-present (phantom) nodes too,
// DIGCF_PRESENT only present ones; SetupDiEnumDeviceInfo ends with ERROR_NO_MORE_ITEMS; a
// removed element stays in its set (indices do not shift) and its DevInst is cleared in the
// caller's record; CM_Get_DevNode_Status answers CR_NO_SUCH_DEVINST for a node that is gone;
// CM_Get_Device_IDW cuts a too long ID to the buffer and answers CR_BUFFER_SMALL.
#define _CFGMGR32_   // this file defines the CM_* functions that the substitute exports
#include "world.h"
#include "devinfo_sets.h"

#include <cfgmgr32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

#include "simworld_devnodes.h"

using namespace sim;

namespace {

constexpr DEVINST kFirstDevInst = 0x10000;

// What a sweep reads of every node, kept small and contiguous so that the cost per node does
// not grow with the tree; the instance IDs live apart and are read for phantoms only.
struct Node {
    CONFIGRET status = CR_SUCCESS;
    uint16_t classSlot = 0;
    bool removed = false;
};

struct NodeFaults {
    DWORD removalError = 0;
    CONFIGRET idResult = CR_SUCCESS;
};

struct ScenarioLine {
    std::string text;
    size_t node = SIZE_MAX;   // the node a "node" line made
};

struct ClassFault {
    GUID setupClass;
    DWORD error;
};

struct Tree {
    std::vector<Node> nodes;   // DEVINST = kFirstDevInst + index
    std::vector<std::wstring> ids;
    std::vector<NodeFaults> faults;
    std::vector<GUID> classes;
    std::vector<std::vector<uint32_t>> classMembers;   // per class, in the order added
    std::vector<ClassFault> classFaults;
    std::vector<size_t> removals;
    DWORD removalDelayMs = 0;
    std::wstring classInstaller;   // loaded by bare name at each removal, as SetupAPI loads one
    uint32_t installerTries = 0;
    uint32_t installerLoads = 0;
    bool hold = false;
    uint32_t heldWaiting = 0;
    uint32_t listings = 0;
    uint32_t openSets = 0;
    bool controlled = false;   // the control API configured this process: no scenario file
    bool scenarioTried = false;
    bool fromScenario = false;
    std::vector<ScenarioLine> scenario;
    std::vector<std::string> removedLines;
    // Member lists of destroyed sets, kept for the next listings: a large fresh list costs
    // page faults on every sweep, which would make the cost per node grow with the tree.
    std::vector<std::vector<uint32_t>> spareLists;
};

Tree& TheTree() {
    static Tree tree;
    return tree;
}

std::condition_variable& HoldChanged() {
    static std::condition_variable cv;
    return cv;
}

struct DevNodeSet : DevInfoSet {
    std::vector<uint32_t> members;
    ~DevNodeSet() override {
        Tree& t = TheTree();
        --t.openSets;
        if (t.spareLists.size() < 4) {
            members.clear();
            t.spareLists.push_back(std::move(members));
        }
    }
};

uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

Node* NodeOf(DEVINST devInst) {
    Tree& t = TheTree();
    if (devInst < kFirstDevInst || devInst - kFirstDevInst >= t.nodes.size()) return nullptr;
    return &t.nodes[devInst - kFirstDevInst];
}

bool SameClass(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Index of the class in the tree; with `add`, a class not seen yet is added.
size_t ClassSlot(const GUID& setupClass, bool add) {
    Tree& t = TheTree();
    for (size_t i = 0; i < t.classes.size(); ++i) {
        if (std::memcmp(&t.classes[i], &setupClass, sizeof setupClass) == 0) return i;
    }
    if (!add) return SIZE_MAX;
    t.classes.push_back(setupClass);
    t.classMembers.emplace_back();
    return t.classes.size() - 1;
}

bool IsPresent(const Node& n) { return n.status != CR_NO_SUCH_DEVINST && n.status != CR_NO_SUCH_VALUE; }

// ---- scenario file ----

std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string Narrow(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

bool ParseHex(const std::string& text, uint64_t& value) {
    std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) return false;
    value = 0;
    for (char c : digits) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return false;
        value = value << 4 | static_cast<uint64_t>(d);
    }
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
bool ParseGuid(const std::string& text, GUID& guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    uint64_t a, b, c, d, e;
    if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
    if (!ParseHex(text.substr(1, 8), a) || !ParseHex(text.substr(10, 4), b) || !ParseHex(text.substr(15, 4), c) ||
        !ParseHex(text.substr(20, 4), d) || !ParseHex(text.substr(25, 12), e))
        return false;
    guid.Data1 = static_cast<unsigned long>(a);
    guid.Data2 = static_cast<unsigned short>(b);
    guid.Data3 = static_cast<unsigned short>(c);
    guid.Data4[0] = static_cast<unsigned char>(d >> 8);
    guid.Data4[1] = static_cast<unsigned char>(d);
    for (int i = 0; i < 6; ++i) guid.Data4[2 + i] = static_cast<unsigned char>(e >> (8 * (5 - i)));
    return true;
}

// Splits off the next blank-separated word; the rest stays in `line`.
std::string NextWord(std::string& line) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
        line.clear();
        return {};
    }
    size_t end = line.find_first_of(" \t", start);
    std::string word = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    line = end == std::string::npos ? std::string() : line.substr(end);
    size_t rest = line.find_first_not_of(" \t");
    line = rest == std::string::npos ? std::string() : line.substr(rest);
    return word;
}

bool ParseStatus(const std::string& text, CONFIGRET& status) {
    uint64_t value;
    if (text == "present") status = CR_SUCCESS;
    else if (text == "phantom") status = CR_NO_SUCH_DEVINST;
    else if (text == "phantom-novalue") status = CR_NO_SUCH_VALUE;
    else if (ParseHex(text, value)) status = static_cast<CONFIGRET>(value);
    else return false;
    return true;
}

size_t AddNodeLocked(const GUID& setupClass, const std::wstring& id, CONFIGRET status) {
    Tree& t = TheTree();
    Node n;
    n.classSlot = static_cast<uint16_t>(ClassSlot(setupClass, true));
    n.status = status;
    t.nodes.push_back(n);
    t.ids.push_back(id);
    t.faults.emplace_back();
    t.classMembers[n.classSlot].push_back(static_cast<uint32_t>(t.nodes.size() - 1));
    return t.nodes.size() - 1;
}

void LoadScenarioLocked() {
    Tree& t = TheTree();
    HANDLE f = CreateFileW(SIM_DEVNODES_SCENARIO, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) content.append(chunk, got);
    CloseHandle(f);
    t.fromScenario = true;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        std::string text = content.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? content.size() : end + 1;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        ScenarioLine line{text};
        std::string rest = text;
        std::string keyword = NextWord(rest);
        if (keyword == "node") {
            GUID cls;
            CONFIGRET status;
            std::string guidText = NextWord(rest);
            std::string statusText = NextWord(rest);
            if (ParseGuid(guidText, cls) && ParseStatus(statusText, status) && !rest.empty()) {
                line.node = AddNodeLocked(cls, Widen(rest), status);
            }
        } else if (keyword == "fail-removal") {
            std::wstring id = Widen(NextWord(rest));
            uint64_t error;
            if (ParseHex(NextWord(rest), error)) {
                for (size_t i = 0; i < t.nodes.size(); ++i) {
                    if (t.ids[i] == id) t.faults[i].removalError = static_cast<DWORD>(error);
                }
            }
        } else if (keyword == "removal-delay") {
            t.removalDelayMs = static_cast<DWORD>(std::strtoul(NextWord(rest).c_str(), nullptr, 10));
        }
        t.scenario.push_back(std::move(line));
    }
}

void EnsureLoadedLocked() {
    Tree& t = TheTree();
    if (t.controlled || t.scenarioTried) return;
    t.scenarioTried = true;
    LoadScenarioLocked();
}

void WriteScenarioLocked() {
    Tree& t = TheTree();
    std::string out;
    for (const auto& line : t.scenario) {
        if (line.node != SIZE_MAX && t.nodes[line.node].removed) continue;
        out += line.text;
        out += '\n';
    }
    for (const auto& line : t.removedLines) out += line + '\n';
    std::wstring temp = std::wstring(SIM_DEVNODES_SCENARIO) + L".new";
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    CloseHandle(f);
    MoveFileExW(temp.c_str(), SIM_DEVNODES_SCENARIO, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

// ---- SetupAPI ----

extern "C" __declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator,
                                                                      HWND parent, DWORD flags) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Tree& t = TheTree();
    EnsureLoadedLocked();
    if (t.hold) {
        ++t.heldWaiting;
        HoldChanged().notify_all();
        HoldChanged().wait(hold, [&] { return !TheTree().hold; });
        --t.heldWaiting;
    }
    auto record = [&](BOOL ok, DWORD error) {
        w.Record("SetupDiGetClassDevsW", 0, {classGuid ? classGuid->Data1 : 0, U(enumerator), U(parent), flags}, ok,
                 error, nullptr, 0);
    };
    auto fail = [&](DWORD error) {
        record(FALSE, error);
        SetLastError(error);
        return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
    };
    // Interface lists and the all-classes form are not part of this tree.
    if (flags & ~static_cast<DWORD>(DIGCF_PRESENT)) return fail(ERROR_INVALID_FLAGS);
    if (!classGuid) return fail(ERROR_INVALID_PARAMETER);
    for (const auto& f : t.classFaults) {
        if (SameClass(f.setupClass, *classGuid)) return fail(f.error);
    }
    auto set = std::make_unique<DevNodeSet>();
    ++t.openSets;
    if (!t.spareLists.empty()) {
        set->members = std::move(t.spareLists.back());
        t.spareLists.pop_back();
    }
    std::wstring prefix = enumerator ? std::wstring(enumerator) + L"\\" : std::wstring();
    for (auto& c : prefix) c = static_cast<wchar_t>(std::towupper(c));
    size_t slot = ClassSlot(*classGuid, false);
    if (slot != SIZE_MAX) {
        set->members.reserve(t.classMembers[slot].size());
        for (uint32_t i : t.classMembers[slot]) {
            const Node& n = t.nodes[i];
            if (n.removed) continue;
            if ((flags & DIGCF_PRESENT) && !IsPresent(n)) continue;
            if (!prefix.empty()) {
                std::wstring head = t.ids[i].substr(0, prefix.size());
                for (auto& c : head) c = static_cast<wchar_t>(std::towupper(c));
                if (head != prefix) continue;
            }
            set->members.push_back(i);
        }
    }
    ++t.listings;
    if (t.fromScenario) {
        // Lets a test in another process see when sweeps happen, also those that remove nothing.
        char text[64];
        std::snprintf(text, sizeof text, "listed {%08lX-%04X-%04X-...}", static_cast<unsigned long>(classGuid->Data1),
                      classGuid->Data2, classGuid->Data3);
        t.removedLines.push_back(text);
        WriteScenarioLocked();
    }
    record(TRUE, 0);
    return AddDevInfoSet(std::move(set));
}

extern "C" __declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto finish = [&](BOOL ok, DWORD error) {
        w.Record("SetupDiEnumDeviceInfo", 0, {U(set), index, U(data)}, ok, error, nullptr, 0);
        return ok ? TRUE : Fail(error);
    };
    DevNodeSet* s = FindDevInfoSetAs<DevNodeSet>(set);
    if (!s) return finish(FALSE, ERROR_INVALID_HANDLE);
    if (!data) return finish(FALSE, ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return finish(FALSE, ERROR_INVALID_USER_BUFFER);
    if (index >= s->members.size()) return finish(FALSE, ERROR_NO_MORE_ITEMS);
    size_t node = s->members[index];
    if (node >= TheTree().nodes.size()) return finish(FALSE, ERROR_NO_MORE_ITEMS);   // the tree was reset
    data->ClassGuid = TheTree().classes[TheTree().nodes[node].classSlot];
    data->DevInst = kFirstDevInst + static_cast<DEVINST>(node);
    data->Reserved = index + 1;   // identifies the element within its set
    return finish(TRUE, 0);
}

extern "C" __declspec(dllexport) BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                                                      PSP_DEVINFO_DATA data) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Tree& t = TheTree();
    DEVINST devInst = data ? data->DevInst : 0;
    auto finish = [&](BOOL ok, DWORD error) {
        w.Record("SetupDiCallClassInstaller", 0, {function, U(set), U(data), devInst}, ok, error, nullptr, 0);
        return ok ? TRUE : Fail(error);
    };
    // Only the removal is modelled.
    if (function != DIF_REMOVE) return finish(FALSE, ERROR_DI_DO_DEFAULT);
    if (!FindDevInfoSetAs<DevNodeSet>(set)) return finish(FALSE, ERROR_INVALID_HANDLE);
    if (!data) return finish(FALSE, ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return finish(FALSE, ERROR_INVALID_USER_BUFFER);
    if (t.removalDelayMs) {
        DWORD delay = t.removalDelayMs;
        hold.unlock();
        Sleep(delay);
        hold.lock();
    }
    DevNodeSet* s = FindDevInfoSetAs<DevNodeSet>(set);
    if (!s) return finish(FALSE, ERROR_INVALID_HANDLE);
    size_t element = data->Reserved;
    if (element == 0 || element > s->members.size() ||
        kFirstDevInst + s->members[element - 1] != data->DevInst || s->members[element - 1] >= t.nodes.size())
        return finish(FALSE, ERROR_INVALID_PARAMETER);
    Node& n = t.nodes[s->members[element - 1]];
    if (n.removed) return finish(FALSE, ERROR_NO_SUCH_DEVINST);
    if (!t.classInstaller.empty()) {
        // The class installer is named in the registry without a folder: the process's DLL search
        // decides which file is loaded. It is released at once; the removal goes on either way.
        ++t.installerTries;
        if (HMODULE installer = LoadLibraryW(t.classInstaller.c_str())) {
            ++t.installerLoads;
            FreeLibrary(installer);
        }
    }
    DWORD injected = t.faults[s->members[element - 1]].removalError;
    if (injected) return finish(FALSE, injected);
    n.removed = true;
    t.removals.push_back(s->members[element - 1]);
    if (t.fromScenario) {
        t.removedLines.push_back("removed " + Narrow(t.ids[s->members[element - 1]]));
        WriteScenarioLocked();
    }
    data->DevInst = 0;   // a global removal leaves no device instance behind
    return finish(TRUE, 0);
}

// ---- Configuration Manager (the substitute SetupAPI carries these, as the system's does) ----

extern "C" __declspec(dllexport) CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem,
                                                                       DEVINST devInst, ULONG flags) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    EnsureLoadedLocked();
    CONFIGRET result;
    Node* n = NodeOf(devInst);
    if (!status || !problem) {
        result = CR_INVALID_POINTER;
    } else if (flags != 0) {
        result = CR_INVALID_FLAG;
    } else if (!n) {
        result = CR_INVALID_DEVNODE;
    } else {
        result = n->removed ? CR_NO_SUCH_DEVINST : n->status;
        *status = result == CR_SUCCESS ? DN_DRIVER_LOADED | DN_STARTED : 0;
        *problem = 0;
    }
    w.Record("CM_Get_DevNode_Status", 0, {U(status), U(problem), devInst, flags}, result == CR_SUCCESS, result, nullptr, 0);
    return result;
}

extern "C" __declspec(dllexport) CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST devInst, PWCHAR buffer, ULONG length,
                                                                   ULONG flags) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    EnsureLoadedLocked();
    CONFIGRET result;
    Node* n = NodeOf(devInst);
    if (!buffer) {
        result = CR_INVALID_POINTER;
    } else if (flags != 0) {
        result = CR_INVALID_FLAG;
    } else if (!n) {
        result = CR_INVALID_DEVNODE;
    } else if (n->removed) {
        result = CR_NO_SUCH_DEVINST;
    } else if (TheTree().faults[devInst - kFirstDevInst].idResult != CR_SUCCESS) {
        result = TheTree().faults[devInst - kFirstDevInst].idResult;
    } else if (TheTree().ids[devInst - kFirstDevInst].size() >= length) {
        std::copy_n(TheTree().ids[devInst - kFirstDevInst].begin(), length, buffer);   // as much as fits, unterminated
        result = CR_BUFFER_SMALL;
    } else {
        const std::wstring& id = TheTree().ids[devInst - kFirstDevInst];
        std::copy(id.begin(), id.end(), buffer);
        buffer[id.size()] = L'\0';
        result = CR_SUCCESS;
    }
    w.Record("CM_Get_Device_IDW", 0, {devInst, U(buffer), length, flags}, result == CR_SUCCESS, result, nullptr, 0);
    return result;
}

// ---- control interface ----

extern "C" {

SIMWORLD_API void SimDevNodes_Reset(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Tree& t = TheTree();
    t.nodes.clear();
    t.ids.clear();
    t.faults.clear();
    t.classes.clear();
    t.classMembers.clear();
    t.classFaults.clear();
    t.removals.clear();
    t.removalDelayMs = 0;
    t.classInstaller.clear();
    t.installerTries = 0;
    t.installerLoads = 0;
    t.hold = false;
    t.listings = 0;
    t.controlled = true;
    t.fromScenario = false;
    t.scenario.clear();
    t.removedLines.clear();
    HoldChanged().notify_all();
}

SIMWORLD_API uint32_t SimDevNodes_AddNode(const GUID* setupClass, const wchar_t* instanceId, uint32_t statusResult) {
    if (!setupClass || !instanceId) return 0;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    TheTree().controlled = true;
    return kFirstDevInst + static_cast<uint32_t>(AddNodeLocked(*setupClass, instanceId, statusResult));
}

SIMWORLD_API void SimDevNodes_SetStatus(uint32_t devInst, uint32_t statusResult) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Node* n = NodeOf(devInst)) n->status = static_cast<CONFIGRET>(statusResult);
}

SIMWORLD_API void SimDevNodes_FailRemoval(uint32_t devInst, uint32_t win32Error) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (NodeOf(devInst)) TheTree().faults[devInst - kFirstDevInst].removalError = win32Error;
}

SIMWORLD_API void SimDevNodes_FailDeviceId(uint32_t devInst, uint32_t configRet) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (NodeOf(devInst)) TheTree().faults[devInst - kFirstDevInst].idResult = configRet;
}

SIMWORLD_API void SimDevNodes_FailClassList(const GUID* setupClass, uint32_t win32Error) {
    if (!setupClass) return;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto& faults = TheTree().classFaults;
    faults.erase(std::remove_if(faults.begin(), faults.end(),
                                [&](const ClassFault& f) { return SameClass(f.setupClass, *setupClass); }),
                 faults.end());
    if (win32Error) faults.push_back(ClassFault{*setupClass, win32Error});
}

SIMWORLD_API void SimDevNodes_SetRemovalDelay(uint32_t milliseconds) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    TheTree().removalDelayMs = milliseconds;
}

SIMWORLD_API void SimDevNodes_SetClassInstaller(const wchar_t* dllName) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    TheTree().classInstaller = dllName ? dllName : L"";
}

SIMWORLD_API uint32_t SimDevNodes_ClassInstallerTries(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return TheTree().installerTries;
}

SIMWORLD_API uint32_t SimDevNodes_ClassInstallerLoads(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return TheTree().installerLoads;
}

SIMWORLD_API void SimDevNodes_HoldListing(int holdListing) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    TheTree().hold = holdListing != 0;
    HoldChanged().notify_all();
}

SIMWORLD_API int SimDevNodes_WaitForHeldListing(uint32_t timeoutMs) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    return HoldChanged().wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                  [] { return TheTree().heldWaiting > 0; })
               ? 1
               : 0;
}

SIMWORLD_API uint32_t SimDevNodes_NodeCount(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return static_cast<uint32_t>(std::count_if(TheTree().nodes.begin(), TheTree().nodes.end(),
                                               [](const Node& n) { return !n.removed; }));
}

SIMWORLD_API int SimDevNodes_InTree(uint32_t devInst) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Node* n = NodeOf(devInst);
    return n && !n->removed ? 1 : 0;
}

SIMWORLD_API uint32_t SimDevNodes_ListingCount(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return TheTree().listings;
}

SIMWORLD_API uint32_t SimDevNodes_OpenSets(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return TheTree().openSets;
}

SIMWORLD_API uint32_t SimDevNodes_RemovedCount(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return static_cast<uint32_t>(TheTree().removals.size());
}

SIMWORLD_API int SimDevNodes_GetRemoved(uint32_t index, wchar_t* instanceId, size_t capacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Tree& t = TheTree();
    if (index >= t.removals.size() || !instanceId || capacity == 0) return 0;
    const std::wstring& id = t.ids[t.removals[index]];
    size_t n = std::min(id.size(), capacity - 1);
    std::copy_n(id.begin(), n, instanceId);
    instanceId[n] = L'\0';
    return 1;
}

}  // extern "C"
