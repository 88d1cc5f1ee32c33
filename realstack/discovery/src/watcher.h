// Arrivals and removals of the maker's interfaces. A thread of the watcher's own reads sysfs
// every 50 ms and tells each subscriber what changed since its last look, removals before
// arrivals, in path order; a subscriber starts from what was present when it subscribed, so it
// hears nothing of interfaces present before it. Each face module holds one watcher.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "sync.h"

namespace rs {

class InterfaceWatcher {
public:
    // Called on the watcher's thread, with no lock of the watcher held.
    using Sink = std::function<void(bool arrival, const std::string& path)>;

    static InterfaceWatcher& Instance();

    // 0 when the watcher's thread cannot start. May throw std::bad_alloc.
    uint64_t Subscribe(Sink sink);
    // Does not wait: a sink call the watcher had already taken up may still run (as a message
    // already on its way reaches a window after its registration is gone). Unknown ids are ignored.
    void Unsubscribe(uint64_t id);

    // How often the watcher reads sysfs.
    static constexpr DWORD kPollMs = 50;

private:
    struct Subscription {
        Sink sink;
        std::set<std::string> known;   // the paths it was last told of
    };

    InterfaceWatcher() = default;
    bool StartLocked();
    static DWORD WINAPI ThreadMain(LPVOID self);
    void Run();
    void Tick();

    SrwLock scanning_;   // one scan and its comparison at a time: a new baseline never races a tick
    SrwLock lock_;       // the subscriptions
    Condition subscribed_;
    std::map<uint64_t, std::shared_ptr<Subscription>> subscriptions_;
    uint64_t nextId_ = 1;
    bool started_ = false;
};

}  // namespace rs
