// The process-wide list of notification registrations, shared by the registering threads,
// the window's thread and the Configuration Manager's notification threads.
#pragma once
#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "LinkWinUsb.h"
#include "sync.h"

namespace lwu {

enum class Mechanism { Window, ConfigurationManager };

struct NotificationEntry {
    DeviceNotificationCallback callback = nullptr;
    GUID classGuid{};
    void* registrationHandle = nullptr;   // HDEVNOTIFY or HCMNOTIFICATION, as `mechanism` says
    Mechanism mechanism = Mechanism::Window;
    // Guarded by the list's mutex.
    bool listed = true;       // false once removed: no dispatch calls it any more
    bool releasing = false;   // an unregister call is releasing it with the system
    int calls = 0;            // calls of its callback in progress, reports included
};

using EntryRef = std::shared_ptr<NotificationEntry>;

// Which entries a dispatch calls: those of the event's class that were listed when the
// dispatch began, in list order, each only if it is still listed when its turn comes.
// Entries appended during a dispatch hear the next event, not this one.
class RegistrationList {
public:
    EntryRef Append(DeviceNotificationCallback callback, const GUID& classGuid, void* handle, Mechanism mechanism);
    // The first listed entry of callback and class that no other call is releasing, now
    // marked as being released; null when there is none.
    EntryRef Claim(DeviceNotificationCallback callback, const GUID& classGuid);
    // The system kept the registration: the entry stays as it was.
    void Unclaim(const EntryRef& entry);
    // Removes the entry and every entry equal to it (callback, class, handle and mechanism).
    void Remove(const EntryRef& entry);
    size_t Count();
    void Dispatch(int32_t action, const GUID& classGuid, const char* path);
    // Calls the entry's callback on this thread as a callback call, whether a dispatch or a
    // present-interface report makes it: an unregister on another thread waits for it, one
    // made inside it does not. False, and nothing called, once the entry has been removed.
    bool Call(const EntryRef& entry, int32_t action, const char* path);
    // Waits until no other thread runs the entry's callback. Skipped inside a callback: a
    // callback waiting for another thread's callback could wait for itself in a cycle.
    void WaitUntilIdle(const EntryRef& entry);
    // True while the calling thread runs a notification callback.
    bool InsideCallback();

private:
    // A callback call in progress: which thread runs which entry's callback.
    struct ActiveCall {
        DWORD thread;
        const NotificationEntry* entry;
    };

    Lock mutex_;
    Condition idle_;
    int waiting_ = 0;   // threads in WaitUntilIdle: only they need a wake-up
    std::vector<EntryRef> entries_;
    std::vector<ActiveCall> active_;
};

RegistrationList& Registrations();

}  // namespace lwu
