#include "watcher.h"

#include <utility>
#include <vector>

#include "sysfs.h"

namespace rs {

namespace {

std::set<std::string> PresentPaths() {
    std::set<std::string> paths;
    for (UsbInterface& i : ScanInterfaces()) paths.insert(std::move(i.path));
    return paths;
}

struct Change {
    bool arrival;
    std::string path;
};

}  // namespace

InterfaceWatcher& InterfaceWatcher::Instance() {
    static InterfaceWatcher watcher;
    return watcher;
}

uint64_t InterfaceWatcher::Subscribe(Sink sink) {
    auto s = std::make_shared<Subscription>();
    s->sink = std::move(sink);
    LockHold scan(scanning_);
    s->known = PresentPaths();
    LockHold hold(lock_);
    if (!StartLocked()) return 0;
    uint64_t id = nextId_++;
    subscriptions_[id] = std::move(s);
    subscribed_.WakeAll();
    return id;
}

void InterfaceWatcher::Unsubscribe(uint64_t id) {
    LockHold hold(lock_);
    subscriptions_.erase(id);
}

bool InterfaceWatcher::StartLocked() {
    if (started_) return true;
    // A small stack: the thread only reads files and calls sinks.
    HANDLE thread = CreateThread(nullptr, 256 * 1024, ThreadMain, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    PinModuleOf(reinterpret_cast<const void*>(&InterfaceWatcher::ThreadMain));
    started_ = true;
    return true;
}

DWORD WINAPI InterfaceWatcher::ThreadMain(LPVOID self) {
    static_cast<InterfaceWatcher*>(self)->Run();
    return 0;
}

void InterfaceWatcher::Run() {
    for (;;) {
        {
            LockHold hold(lock_);
            while (subscriptions_.empty()) subscribed_.Wait(hold);
        }
        try {
            Tick();
        } catch (...) {
            // Out of memory for one look: the next one compares against what each was last told.
        }
        Sleep(kPollMs);
    }
}

void InterfaceWatcher::Tick() {
    std::vector<std::pair<std::shared_ptr<Subscription>, std::vector<Change>>> work;
    {
        LockHold scan(scanning_);
        std::set<std::string> now = PresentPaths();
        LockHold hold(lock_);
        for (auto& [id, s] : subscriptions_) {
            std::vector<Change> changes;
            for (const std::string& path : s->known) {
                if (!now.count(path)) changes.push_back(Change{false, path});
            }
            for (const std::string& path : now) {
                if (!s->known.count(path)) changes.push_back(Change{true, path});
            }
            if (changes.empty()) continue;
            s->known = now;
            work.emplace_back(s, std::move(changes));
        }
    }
    for (auto& [s, changes] : work) {
        for (const Change& c : changes) s->sink(c.arrival, c.path);
    }
}

}  // namespace rs
