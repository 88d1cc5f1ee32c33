// In-process service host for tests: the service classes run as under the SCM, while the
// test program's import entries for the SCM, event-log and timer calls record what the SCM
// and the event log would see (and can make those calls fail). The device tree is the
// simulated one behind the substitute setupapi.dll.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devnode_service.h"
#include "import_patch.h"
#include "simworld.h"
#include "simworld_devnodes.h"

struct EventRecord {
    WORD type;
    std::vector<std::wstring> strings;
    uint64_t sequence;
    const std::wstring& message() const { return strings.at(1); }
};

struct StatusRecord {
    SERVICE_STATUS_HANDLE handle;
    SERVICE_STATUS status;
    uint64_t sequence;
};

struct SleepRecord {
    DWORD thread;
    DWORD milliseconds;
};

struct TimerRecord {
    HANDLE queue;
    DWORD dueTime;
    DWORD period;
    ULONG flags;
};

// What the fakes saw, and how they should answer. Shared by the test thread, the service's
// threads and thread-pool callbacks.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t sequence = 0;
    std::vector<EventRecord> events;
    std::vector<StatusRecord> statuses;
    std::vector<SleepRecord> sleeps;
    std::vector<TimerRecord> timersCreated;
    std::vector<HANDLE> deletionEvents;   // CompletionEvent of each DeleteTimerQueueTimer
    LPHANDLER_FUNCTION handler = nullptr;
    std::wstring handlerName;
    DWORD registerHandlerError = 0;
    DWORD createTimerError = 0;
    DWORD deleteTimerError = 0;           // the next deletion fails once with this code
    bool eventSourceFails = false;
    long long timerDueOverride = -1;      // >= 0: the timer is armed with this due time instead
    std::function<void(const std::wstring&)> onEvent;   // runs after each event is recorded

    void Clear();
    std::vector<std::wstring> Messages();
    std::vector<StatusRecord> Statuses();
    // Waits until the predicate (called under the lock) holds; false after the time-out.
    bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000);
};

Recorder& Rec();

constexpr GUID kDiskDrives = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kVolumes = {0x71A27CDD, 0x812A, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

// What the service writes to the event log, and the nodes the world removed, in order.
using Texts = std::vector<std::wstring>;
extern const std::wstring kStartText;
extern const std::wstring kStopText;
std::wstring RemovalText(const std::wstring& id);
Texts RemovedNodes();

class ServiceHost : public ::testing::Test {
protected:
    ServiceHost();
    void SetUp() override;

    // The SCM's service-entry thread runs ServiceEntry for the active service.
    void Start(CServiceBase& service);
    // The SCM's control as the dispatcher thread delivers it (this thread).
    void Control(DWORD code);
    // Waits for `listings` successful class listings and for every listed set to be destroyed.
    bool WaitForSweeps(uint32_t listings, int timeoutMs = 5000);
    std::vector<DWORD> States();

private:
    ImportPatch setStatus_, registerHandler_, reportEvent_, registerSource_, sleep_, createTimer_, deleteTimer_;
};
