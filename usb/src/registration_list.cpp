// RegistrationList: appended and removed by the export threads, walked by the dispatching
// threads. Callbacks run without the lock held, so that they may register and unregister.
#include "registration_list.h"

#include <algorithm>

namespace lwu {

namespace {

bool SameEntry(const NotificationEntry& a, const NotificationEntry& b) {
    return a.callback == b.callback && IsEqualGUID(a.classGuid, b.classGuid) &&
           a.registrationHandle == b.registrationHandle && a.mechanism == b.mechanism;
}

}  // namespace

RegistrationList& Registrations() {
    static RegistrationList list;
    return list;
}

bool RegistrationList::InsideCallback() {
    DWORD self = GetCurrentThreadId();
    LockHold hold(mutex_);
    for (const ActiveCall& call : active_) {
        if (call.thread == self) return true;
    }
    return false;
}

EntryRef RegistrationList::Append(DeviceNotificationCallback callback, const GUID& classGuid, void* handle,
                                  Mechanism mechanism) {
    auto entry = std::make_shared<NotificationEntry>();
    entry->callback = callback;
    entry->classGuid = classGuid;
    entry->registrationHandle = handle;
    entry->mechanism = mechanism;
    LockHold hold(mutex_);
    entries_.push_back(entry);
    return entry;
}

EntryRef RegistrationList::Claim(DeviceNotificationCallback callback, const GUID& classGuid) {
    LockHold hold(mutex_);
    for (const EntryRef& e : entries_) {
        if (e->releasing || e->callback != callback || !IsEqualGUID(e->classGuid, classGuid)) continue;
        e->releasing = true;
        return e;
    }
    return nullptr;
}

void RegistrationList::Unclaim(const EntryRef& entry) {
    LockHold hold(mutex_);
    entry->releasing = false;
}

void RegistrationList::Remove(const EntryRef& entry) {
    LockHold hold(mutex_);
    auto gone = std::remove_if(entries_.begin(), entries_.end(), [&](const EntryRef& e) {
        if (e != entry && !SameEntry(*e, *entry)) return false;
        e->listed = false;
        return true;
    });
    entries_.erase(gone, entries_.end());
}

size_t RegistrationList::Count() {
    LockHold hold(mutex_);
    return entries_.size();
}

void RegistrationList::Dispatch(int32_t action, const GUID& classGuid, const char* path) {
    std::vector<EntryRef> due;
    {
        LockHold hold(mutex_);
        for (const EntryRef& e : entries_) {
            if (IsEqualGUID(e->classGuid, classGuid)) due.push_back(e);
        }
    }
    for (const EntryRef& e : due) Call(e, action, path);
}

bool RegistrationList::Call(const EntryRef& entry, int32_t action, const char* path) {
    DWORD self = GetCurrentThreadId();
    {
        LockHold hold(mutex_);
        if (!entry->listed) return false;
        ++entry->calls;
        active_.push_back(ActiveCall{self, entry.get()});
    }
    try {
        entry->callback(action, path);
    } catch (...) {
        // a host's exception must not unwind through the system's notification code
    }
    LockHold hold(mutex_);
    // This thread's innermost call is its last record.
    for (auto it = active_.end(); it != active_.begin();) {
        --it;
        if (it->thread == self) {
            active_.erase(it);
            break;
        }
    }
    if (--entry->calls == 0 && waiting_ > 0) idle_.WakeAll();
    return true;
}

void RegistrationList::WaitUntilIdle(const EntryRef& entry) {
    if (InsideCallback()) return;
    LockHold hold(mutex_);
    ++waiting_;
    idle_.Wait(mutex_, [&] { return entry->calls == 0; });
    --waiting_;
}

}  // namespace lwu
