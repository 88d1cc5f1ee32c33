// Internal model of the simulated device world. One instance per process, behind one mutex.
#pragma once
#include <windows.h>
#include <winusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simworld.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// Hang: the device moves `value` bytes and then stops answering (NAKs), so the transfer waits
// for its pipe's time-out, an abort or the device's removal.
enum class FaultKind { Fail, Short, Stall, Hang };

struct Fault {
    int operation;
    int request;        // SIM_ANY or the value to match
    FaultKind kind;
    uint32_t value;     // Win32 error (Fail) or byte count (Short)
    uint32_t remaining; // SIM_FOREVER keeps it
};

struct PipeState {
    explicit PipeState(const SimPipe& p) : info(p) {}
    SimPipe info{};
    bool stalled = false;
    std::map<uint32_t, Bytes> policies;
    Bytes cached;   // IN data of a packet beyond a read's length, for the next read
    bool cachedShort = false;   // that packet was short: the read that takes the rest ends there
};

// A message the firmware sends, packet by packet.
struct OutMessage {
    Bytes data;
    size_t sent = 0;       // bytes already in packets
};

// A contract the caller broke (a handle WinUSB never issued or already freed).
struct Violation {
    std::string text;
};

struct Device {
    int id = 0;
    SimUsbDeviceConfig config{};
    std::string serial;
    std::string path;         // narrow interface path handed to the host
    std::wstring filePath;    // the file that stands for the device node
    bool present = true;
    std::deque<OutMessage> toHost;
    Bytes incoming;                    // bytes of a message the firmware has not seen end yet
    uint32_t expectedLength = 0;       // announced by request 0x85: the message ends there
    std::vector<Bytes> received;
    DWORD goneError = ERROR_BAD_COMMAND;   // what calls fail with once the device is unplugged
    HANDLE ownerFile = nullptr;        // the file handle WinUSB was initialised on, while it is open
    uint32_t announceOverride = UINT32_MAX;
    std::vector<Fault> faults;
    std::map<int, uint32_t> atOnce;   // operation: overlapped transfers left that finish at once
    std::vector<PipeState> pipes;
    std::map<uint32_t, Bytes> descriptors;   // key: type << 8 | index
    std::map<uint8_t, std::vector<SimPipe>> alternates;   // settings other than 0, as reported
    PipeState controlPipe{SimPipe{0, 0, 0, 64}};            // the default control pipe (its policies)
    int interfaceId = 0;      // the device's interface of the device interface class
    std::string name;         // a scenario's name for it (the report's); empty for others
    uint32_t messagesReceived = 0;      // whole messages, kept or not
    uint32_t unplugAfterMessages = 0;   // nonzero: unplugged once it received this many
    uint32_t opens = 0;                 // successful WinUsb_Initialize calls
};

// What a scenario gives a device beyond its configuration.
struct DeviceExtras {
    std::string name;
    bool hasManufacturer = false;
    std::wstring manufacturer;
    bool hasProduct = false;
    std::wstring product;
    uint32_t unplugAfterMessages = 0;
};

// An arrival or removal to be announced once the world mutex is released.
struct Announcement {
    bool arrival = false;
    GUID classGuid{};
    std::string path;
};

enum class TransferKind { Read, Write, Control };

// A transfer under way: an overlapped one that returned ERROR_IO_PENDING (in World::pending), or
// a synchronous one whose caller waits (in World::waiting).
struct PendingTransfer {
    int device = 0;
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    UCHAR pipeId = 0;
    TransferKind kind = TransferKind::Read;
    LPOVERLAPPED overlapped = nullptr;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
    ULONG moved = 0;           // bytes moved so far
    ULONG hangAfter = ~ULONG{0};   // the device stops answering once this many bytes moved
    bool done = false;         // finished; `status` holds how
    ULONG_PTR status = 0;      // NTSTATUS it finished with
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

struct Interface {
    int device = 0;
};

struct Recorded {
    SimCall call{};
    Bytes data;
};

class World {
public:
    std::mutex mutex;
    std::condition_variable changed;   // data for the host, removals, new pending transfers
    std::condition_variable completed; // an overlapped transfer completed
    std::vector<PendingTransfer> pending;
    std::vector<PendingTransfer*> waiting;   // synchronous transfers whose callers wait
    std::vector<Violation> violations;
    static constexpr uint64_t kDefaultSeed = 0x51D3;
    uint64_t seed = kDefaultSeed;             // draws per device (its removal code)
    bool completing = false;           // the completion thread runs
    std::map<int, Device> devices;
    std::map<WINUSB_INTERFACE_HANDLE, Interface> interfaces;
    std::vector<Recorded> calls;
    bool keepCalls = true;
    bool keepData = true;
    int nextDevice = 1;
    uintptr_t nextInterface = 0x5100;
    std::vector<std::string> scenarioNames;   // the devices of the scenario loaded, in its order
    std::vector<Announcement> later;          // for the world's thread (scenario_world.cpp)

    Device* Find(int id);
    Device* FindByFile(const std::wstring& fileName);
    // An unplugged device whose file is still there: it could not be deleted while a handle
    // of the host was open on it. Tries the delete again; null when no such device is left.
    Device* FindUnpluggedByFile(const std::wstring& fileName);
    Device* ForInterface(WINUSB_INTERFACE_HANDLE handle);   // null for unknown handles
    // WinUSB checks only for a null handle; any other handle it never issued (or freed) is
    // recorded as the caller's violation. False for both.
    bool CheckHandle(const char* function, WINUSB_INTERFACE_HANDLE handle);
    // Takes the first matching fault (counting it down); null when none applies.
    bool TakeFault(Device& d, int operation, int request, Fault& out);
    void Record(const char* function, int device, std::initializer_list<uint64_t> args, BOOL result,
                DWORD lastError, const void* data, size_t length);
    std::wstring Directory();
    void ResetLocked();
};

// The world; the first call of the process loads the scenario of VARKO_SIM_SCENARIO.
World& TheWorld();
// The world as it is, loading nothing (DllMain).
World& WorldInstance();

// A present device, as SimWorld_AddDevice adds one, with what a scenario adds; returns its id or 0.
int AddDeviceWith(const SimUsbDeviceConfig& config, const DeviceExtras& extras);
bool DeviceIsPresent(int id);
// Unplugs the device: false when it was not present. The removal of its interface, to be
// announced without the world mutex, is in `announce`. Caller holds the world mutex.
bool UnplugLocked(World& w, Device& d, Announcement& announce);

// winpthreads makes a condition variable's two semaphores at its first wait. A thread of the
// world that waits first would make them whenever it gets to run, maybe after a host counted
// its handles; made here, on the caller's thread, they exist once the caller's call returns.
// Only while nothing waits on `c`.
void MakeWaitable(std::condition_variable& c);

// Sets the thread's last error and returns FALSE, as a failing platform call does.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace sim
