// The world itself and its control interface for tests and the demo.
#include "world.h"

#include "interfaces.h"
#include "random_device.h"
#include "scenario_world.h"
#include "simworld_rng.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>

namespace sim {

World& WorldInstance() {
    static World world;
    return world;
}

World& TheWorld() {
    EnsureScenarioLoaded();
    return WorldInstance();
}

void MakeWaitable(std::condition_variable& c) {
    std::mutex own;
    std::unique_lock<std::mutex> hold(own);
    c.wait_for(hold, std::chrono::seconds(0));
}

Device* World::Find(int id) {
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : &it->second;
}

static std::wstring LowerTail(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    std::wstring tail = cut == std::wstring::npos ? path : path.substr(cut + 1);
    for (auto& c : tail) c = static_cast<wchar_t>(std::towlower(c));
    return tail;
}

Device* World::FindByFile(const std::wstring& fileName) {
    std::wstring want = LowerTail(fileName);
    for (auto& [id, d] : devices) {
        if (d.present && LowerTail(d.filePath) == want) return &d;
    }
    return nullptr;
}

Device* World::FindUnpluggedByFile(const std::wstring& fileName) {
    std::wstring want = LowerTail(fileName);
    for (auto& [id, d] : devices) {
        if (d.present || LowerTail(d.filePath) != want) continue;
        DeleteFileW(d.filePath.c_str());   // fails while the caller's own handle is open on it
        return &d;
    }
    return nullptr;
}

Device* World::ForInterface(WINUSB_INTERFACE_HANDLE handle) {
    auto it = interfaces.find(handle);
    if (it == interfaces.end()) return nullptr;
    return Find(it->second.device);
}

bool World::CheckHandle(const char* function, WINUSB_INTERFACE_HANDLE handle) {
    if (!handle) return false;
    if (interfaces.count(handle)) return true;
    char text[160];
    std::snprintf(text, sizeof text, "%s with handle %p, which WinUSB never issued or has freed", function, handle);
    violations.push_back(Violation{text});
    return false;
}

bool World::TakeFault(Device& d, int operation, int request, Fault& out) {
    for (auto it = d.faults.begin(); it != d.faults.end(); ++it) {
        if (it->operation != operation) continue;
        if (it->request != SIM_ANY && it->request != request) continue;
        out = *it;
        if (it->remaining != SIM_FOREVER && --it->remaining == 0) d.faults.erase(it);
        return true;
    }
    return false;
}

void World::Record(const char* function, int device, std::initializer_list<uint64_t> args, BOOL result,
                   DWORD lastError, const void* data, size_t length) {
    if (!keepCalls) return;
    Recorded r;
    std::snprintf(r.call.function, sizeof r.call.function, "%s", function);
    r.call.device = device;
    size_t i = 0;
    for (uint64_t a : args) {
        if (i < 8) r.call.args[i++] = a;
    }
    r.call.result = static_cast<uint32_t>(result);
    r.call.lastError = result ? 0 : lastError;
    r.call.dataLength = static_cast<uint32_t>(length);
    if (keepData && data && length) {
        auto p = static_cast<const uint8_t*>(data);
        r.data.assign(p, p + length);
    }
    calls.push_back(std::move(r));
}

std::wstring World::Directory() {
    wchar_t dir[64];
    std::swprintf(dir, 64, L"C:\\simworld\\%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    return dir;
}

void World::ResetLocked() {
    for (auto& [id, d] : devices) {
        if (d.present) DeleteFileW(d.filePath.c_str());
    }
    devices.clear();
    interfaces.clear();
    pending.clear();   // their OVERLAPPED records may be gone with the test that started them
    for (PendingTransfer* t : waiting) {   // their callers return as from an aborted transfer
        t->done = true;
        t->status = 0xC0000120;
    }
    violations.clear();
    seed = kDefaultSeed;
    ResetInterfacesLocked();
    ResetRandomDevicesLocked();
    calls.clear();
    keepCalls = keepData = true;
    scenarioNames.clear();
    later.clear();
    changed.notify_all();
    NoteChangeLocked();
}

bool UnplugLocked(World& w, Device& d, Announcement& announce) {
    if (!d.present) return false;
    d.present = false;
    DeleteFileW(d.filePath.c_str());
    w.changed.notify_all();
    NoteChangeLocked();
    announce.arrival = false;
    return RemoveInterfaceLocked(d.interfaceId, announce.classGuid, announce.path);
}

// Standard 18-byte device descriptor of a simulated device.
static Bytes DeviceDescriptor(const SimUsbDeviceConfig& c) {
    Bytes b(18, 0);
    b[0] = 18; b[1] = 1; b[2] = 0x00; b[3] = 0x02; b[7] = 64;
    b[8] = c.vendorId & 0xFF; b[9] = c.vendorId >> 8;
    b[10] = c.productId & 0xFF; b[11] = c.productId >> 8;
    b[14] = 1; b[15] = 2; b[16] = 3; b[17] = 1;
    return b;
}

static Bytes StringDescriptor(const std::wstring& text) {
    Bytes b(2 + text.size() * 2);
    b[0] = static_cast<uint8_t>(b.size());
    b[1] = 3;
    for (size_t i = 0; i < text.size(); ++i) {
        b[2 + 2 * i] = text[i] & 0xFF;
        b[3 + 2 * i] = static_cast<uint8_t>(text[i] >> 8);
    }
    return b;
}

}  // namespace sim

using namespace sim;

static void CopyOut(const std::string& s, char* out, size_t cap) {
    if (!out || cap == 0) return;
    size_t n = std::min(s.size(), cap - 1);
    std::memcpy(out, s.data(), n);
    out[n] = 0;
}

// The device arrives under the world mutex; its interface is announced after it is released.
static int AddDeviceLocked(const SimUsbDeviceConfig* config, const DeviceExtras& extras, char* path,
                           size_t pathCapacity, std::string& announce) {
    World& w = TheWorld();
    Device d;
    d.id = w.nextDevice++;
    d.config = *config;
    d.config.serial = nullptr;
    char serial[32];
    std::snprintf(serial, sizeof serial, "SIM%04d", d.id);
    d.serial = config->serial ? config->serial : serial;
    char name[160];
    std::snprintf(name, sizeof name, "usb#vid_%04x&pid_%04x#%s#{8f0a6c3e-5b1d-4c2a-9e7f-3d2b1a0c9e8d}",
                  config->vendorId, config->productId, d.serial.c_str());
    std::wstring dir = w.Directory();
    CreateDirectoryW(L"C:\\simworld", nullptr);
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring wname(name, name + std::strlen(name));
    d.filePath = dir + L"\\" + wname;
    std::string narrowDir(dir.begin(), dir.end());
    d.path = "\\\\?\\" + narrowDir + "\\" + name;
    // Windows reports one of these for calls on an unplugged device; a seeded draw per device
    // keeps any test from depending on one.
    constexpr DWORD kErrorNoSuchDevice = 433;   // ERROR_NO_SUCH_DEVICE, which the mingw headers lack
    constexpr DWORD kGoneErrors[] = {ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED, kErrorNoSuchDevice};
    d.goneError = SimRng(w.seed ^ (static_cast<uint64_t>(d.id) << 32)).Pick(kGoneErrors);
    HANDLE f = CreateFileW(d.filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    WriteFile(f, name, static_cast<DWORD>(std::strlen(name)), &written, nullptr);
    CloseHandle(f);
    uint32_t count = std::min<uint32_t>(config->pipeCount, SIM_MAX_PIPES);
    if (count == 0) {
        d.pipes.push_back(PipeState(SimPipe{2, 0x01, 0, 512}));
        d.pipes.push_back(PipeState(SimPipe{2, 0x81, 0, 512}));
    } else {
        for (uint32_t i = 0; i < count; ++i) d.pipes.push_back(PipeState(config->pipes[i]));
    }
    d.descriptors[1u << 8] = DeviceDescriptor(d.config);
    d.descriptors[3u << 8] = Bytes{4, 3, 0x09, 0x04};
    d.descriptors[(3u << 8) | 1] = StringDescriptor(extras.hasManufacturer ? extras.manufacturer : L"Varko");
    d.descriptors[(3u << 8) | 2] = StringDescriptor(extras.hasProduct ? extras.product : L"Simulated Link");
    d.name = extras.name;
    d.unplugAfterMessages = extras.unplugAfterMessages;
    d.descriptors[(3u << 8) | 3] = StringDescriptor(std::wstring(d.serial.begin(), d.serial.end()));
    CopyOut(d.path, path, pathCapacity);
    int id = d.id;
    d.interfaceId = AddInterfaceLocked(DeviceInterfaceClass(), d.path);
    announce = d.path;
    w.devices.emplace(id, std::move(d));
    NoteChangeLocked();
    return id;
}

static int AddDevice(const SimUsbDeviceConfig* config, const DeviceExtras& extras, char* path, size_t pathCapacity) {
    std::string announce;
    int id;
    {
        std::lock_guard<std::mutex> hold(TheWorld().mutex);
        id = AddDeviceLocked(config, extras, path, pathCapacity, announce);
    }
    if (id) AnnounceInterface(true, DeviceInterfaceClass(), announce);
    return id;
}

namespace sim {

int AddDeviceWith(const SimUsbDeviceConfig& config, const DeviceExtras& extras) {
    return AddDevice(&config, extras, nullptr, 0);
}

bool DeviceIsPresent(int id) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(id);
    return d && d->present;
}

}  // namespace sim

extern "C" {

SIMWORLD_API void SimWorld_Reset(void) {
    EndScenario();   // the caller makes its own world: a scenario's events stop here
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    w.ResetLocked();
}

SIMWORLD_API void SimWorld_DefaultConfig(SimUsbDeviceConfig* c) {
    if (!c) return;
    *c = SimUsbDeviceConfig{};
    c->vendorId = 0x1209;
    c->productId = 0x0001;
    c->protocolVersion = 2;
    c->answersHandshake = 1;
    c->handshakeValue = 0x01020304;
}

SIMWORLD_API int SimWorld_AddDevice(const SimUsbDeviceConfig* config, char* path, size_t pathCapacity) {
    if (!config) return 0;
    return AddDevice(config, DeviceExtras{}, path, pathCapacity);
}

SIMWORLD_API int SimWorld_DevicePath(int device, char* path, size_t pathCapacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    if (!d) return 0;
    CopyOut(d->path, path, pathCapacity);
    return 1;
}

SIMWORLD_API void SimWorld_RemoveDevice(int device) {
    World& w = TheWorld();
    Announcement announce;
    {
        std::lock_guard<std::mutex> hold(w.mutex);
        Device* d = w.Find(device);
        if (!d || !UnplugLocked(w, *d, announce)) return;
    }
    AnnounceInterface(false, announce.classGuid, announce.path);
}

SIMWORLD_API int SimWorld_LoadDefault(void) {
    SimWorld_Reset();
    for (uint8_t version = 0; version <= 2; ++version) {
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        c.productId = static_cast<uint16_t>(0x0100 + version);
        c.protocolVersion = version;
        c.echo = 1;
        if (SimWorld_AddDevice(&c, nullptr, 0) == 0) return 0;
    }
    return 3;
}

SIMWORLD_API int SimWorld_DeviceIds(int* ids, int capacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    int n = 0;
    for (auto& [id, d] : w.devices) {
        if (ids && n < capacity) ids[n] = id;
        ++n;
    }
    return n;
}

SIMWORLD_API void SimWorld_QueueMessage(int device, const void* data, uint32_t length) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    if (!d) return;
    auto p = static_cast<const uint8_t*>(data);
    OutMessage m;
    m.data.assign(p, p + (p ? length : 0));
    if (!p) m.data.resize(length);
    d->toHost.push_back(std::move(m));
    w.changed.notify_all();
}

SIMWORLD_API void SimWorld_AnnounceLength(int device, uint32_t length) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Device* d = w.Find(device)) d->announceOverride = length;
}

SIMWORLD_API void SimWorld_SetStatusByte(int device, uint8_t status) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Device* d = w.Find(device)) d->config.statusByte = status;
}

SIMWORLD_API void SimWorld_SetProtocolVersion(int device, uint8_t version) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Device* d = w.Find(device)) d->config.protocolVersion = version;
}

SIMWORLD_API uint32_t SimWorld_ReceivedCount(int device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    return d ? static_cast<uint32_t>(d->received.size()) : 0;
}

SIMWORLD_API uint32_t SimWorld_GetReceived(int device, uint32_t index, void* buffer, uint32_t capacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    if (!d || index >= d->received.size()) return 0;
    const Bytes& m = d->received[index];
    if (buffer) std::memcpy(buffer, m.data(), std::min<size_t>(capacity, m.size()));
    return static_cast<uint32_t>(m.size());
}

SIMWORLD_API uint32_t SimWorld_PendingCount(int device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    return d ? static_cast<uint32_t>(d->toHost.size()) : 0;
}

static void AddFault(int device, Fault f) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Device* d = w.Find(device)) d->faults.push_back(f);
}

SIMWORLD_API void SimWorld_FailCall(int device, int operation, int request, uint32_t win32Error, uint32_t times) {
    AddFault(device, Fault{operation, request, FaultKind::Fail, win32Error, times});
}

SIMWORLD_API void SimWorld_ShortTransfer(int device, int operation, int request, uint32_t bytes, uint32_t times) {
    AddFault(device, Fault{operation, request, FaultKind::Short, bytes, times});
}

SIMWORLD_API void SimWorld_Stall(int device, int operation, int request, uint32_t times) {
    AddFault(device, Fault{operation, request, FaultKind::Stall, ERROR_GEN_FAILURE, times});
}

SIMWORLD_API void SimWorld_Hang(int device, int operation, int request, uint32_t bytes, uint32_t times) {
    AddFault(device, Fault{operation, request, FaultKind::Hang, bytes, times});
}

SIMWORLD_API void SimWorld_SetSeed(uint64_t seed) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    w.seed = seed;
}

SIMWORLD_API uint32_t SimWorld_ContractViolations(char* firstText, size_t capacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    CopyOut(w.violations.empty() ? std::string() : w.violations.front().text, firstText, capacity);
    return static_cast<uint32_t>(w.violations.size());
}

SIMWORLD_API void SimWorld_ClearViolations(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    w.violations.clear();
}

SIMWORLD_API uint32_t SimWorld_IncomingBytes(int device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    return d ? static_cast<uint32_t>(d->incoming.size()) : 0;
}

SIMWORLD_API void SimWorld_ClearFaults(int device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Device* d = w.Find(device)) d->faults.clear();
}

SIMWORLD_API void SimWorld_SetDescriptor(int device, uint8_t type, uint8_t index, const void* bytes, uint32_t length) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    if (!d) return;
    uint32_t key = (uint32_t{type} << 8) | index;
    if (!bytes) {
        d->descriptors.erase(key);
        return;
    }
    auto p = static_cast<const uint8_t*>(bytes);
    d->descriptors[key] = Bytes(p, p + length);
}

SIMWORLD_API void SimWorld_SetRecording(int keepCalls, int keepData) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    w.keepCalls = keepCalls != 0;
    w.keepData = keepData != 0;
}

SIMWORLD_API uint32_t SimWorld_CallCount(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return static_cast<uint32_t>(w.calls.size());
}

SIMWORLD_API int SimWorld_GetCall(uint32_t index, SimCall* call) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (index >= w.calls.size() || !call) return 0;
    *call = w.calls[index].call;
    return 1;
}

SIMWORLD_API uint32_t SimWorld_GetCallData(uint32_t index, void* buffer, uint32_t capacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (index >= w.calls.size()) return 0;
    const Bytes& b = w.calls[index].data;
    if (buffer) std::memcpy(buffer, b.data(), std::min<size_t>(capacity, b.size()));
    return static_cast<uint32_t>(b.size());
}

SIMWORLD_API void SimWorld_ClearCalls(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    w.calls.clear();
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // At process exit leave no device files behind; at a FreeLibrary also drop the state.
    if (reason == DLL_PROCESS_DETACH) {
        WriteFinalReport(reserved != nullptr);   // while the process's handles are still open
        World& w = WorldInstance();
        for (auto& [id, d] : w.devices) {
            if (d.present) DeleteFileW(d.filePath.c_str());
        }
        RemoveDirectoryW(w.Directory().c_str());
    }
    return TRUE;
}
