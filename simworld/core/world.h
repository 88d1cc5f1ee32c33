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

enum class FaultKind { Fail, Short, Stall };

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
    Bytes cached;   // IN data the device sent beyond a read's length, for the next read
};

struct Device {
    int id = 0;
    SimUsbDeviceConfig config{};
    std::string serial;
    std::string path;         // narrow interface path handed to the host
    std::wstring filePath;    // the file that stands for the device node
    bool present = true;
    std::deque<Bytes> toHost;
    std::vector<Bytes> received;
    uint32_t announceOverride = UINT32_MAX;
    std::vector<Fault> faults;
    std::map<int, uint32_t> atOnce;   // operation: overlapped transfers left that finish at once
    std::vector<PipeState> pipes;
    std::map<uint32_t, Bytes> descriptors;   // key: type << 8 | index
    std::map<uint8_t, std::vector<SimPipe>> alternates;   // settings other than 0, as reported
    PipeState controlPipe{SimPipe{0, 0, 0, 64}};            // the default control pipe (its policies)
    int interfaceId = 0;      // the device's interface of the device interface class
};

// An overlapped transfer that returned ERROR_IO_PENDING and has not completed yet.
struct PendingTransfer {
    int device = 0;
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    UCHAR pipeId = 0;
    bool isRead = false;       // reads wait for data; writes and control transfers are done
    LPOVERLAPPED overlapped = nullptr;
    PUCHAR buffer = nullptr;
    ULONG length = 0;
    ULONG moved = 0;           // bytes of a done transfer
    ULONG shortLimit = ~ULONG{0};   // an injected short transfer
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
    bool completing = false;           // the completion thread runs
    std::map<int, Device> devices;
    std::map<WINUSB_INTERFACE_HANDLE, Interface> interfaces;
    std::vector<Recorded> calls;
    bool keepCalls = true;
    bool keepData = true;
    int nextDevice = 1;
    uintptr_t nextInterface = 0x5100;

    Device* Find(int id);
    Device* FindByFile(const std::wstring& fileName);
    Device* ForInterface(WINUSB_INTERFACE_HANDLE handle);   // null for unknown handles
    // Takes the first matching fault (counting it down); null when none applies.
    bool TakeFault(Device& d, int operation, int request, Fault& out);
    void Record(const char* function, int device, std::initializer_list<uint64_t> args, BOOL result,
                DWORD lastError, const void* data, size_t length);
    std::wstring Directory();
    void ResetLocked();
};

World& TheWorld();

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
