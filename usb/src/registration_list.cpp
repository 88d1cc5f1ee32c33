// RegistrationList: appended and removed by the export threads, walked by the dispatching
// threads. Callbacks run without the lock held, so that they may register and unregister.
#include "registration_list.h"

#include <algorithm>

namespace lwu {

namespace {

// The entries whose callbacks the calling thread is inside, innermost first.
struct CallFrame {
    const NotificationEntry* entry;
    const CallFrame* outer;
};
thread_local const CallFrame* innermostCall = nullptr;
thread_local int dispatchDepth = 0;

int CallsOnThisThread(const NotificationEntry* entry) {
    int n = 0;
    for (const CallFrame* f = innermostCall; f; f = f->outer) {
        if (f->entry == entry) ++n;
    }
    return n;
}

bool SameEntry(const NotificationEntry& a, const NotificationEntry& b) {
    return a.callback == b.callback && IsEqualGUID(a.classGuid, b.classGuid) &&
           a.registrationHandle == b.registrationHandle && a.mechanism == b.mechanism;
}

}  // namespace

RegistrationList& Registrations() {
    static RegistrationList list;
    return list;
}

bool InsideDispatch() { return dispatchDepth > 0; }

void RegistrationList::Append(DeviceNotificationCallback callback, const GUID& classGuid, void* handle,
                              Mechanism mechanism) {
    auto entry = std::make_shared<NotificationEntry>();
    entry->callback = callback;
    entry->classGuid = classGuid;
    entry->registrationHandle = handle;
    entry->mechanism = mechanism;
    std::lock_guard<std::mutex> hold(mutex_);
    entries_.push_back(std::move(entry));
}

EntryRef RegistrationList::Claim(DeviceNotificationCallback callback, const GUID& classGuid) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const EntryRef& e : entries_) {
        if (e->releasing || e->callback != callback || !IsEqualGUID(e->classGuid, classGuid)) continue;
        e->releasing = true;
        return e;
    }
    return nullptr;
}

void RegistrationList::Unclaim(const EntryRef& entry) {
    std::lock_guard<std::mutex> hold(mutex_);
    entry->releasing = false;
}

void RegistrationList::Remove(const EntryRef& entry) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto gone = std::remove_if(entries_.begin(), entries_.end(), [&](const EntryRef& e) {
        if (e != entry && !SameEntry(*e, *entry)) return false;
        e->listed = false;
        return true;
    });
    entries_.erase(gone, entries_.end());
}

size_t RegistrationList::Count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return entries_.size();
}

void RegistrationList::Dispatch(int32_t action, const GUID& classGuid, const char* path) {
    std::vector<EntryRef> due;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (const EntryRef& e : entries_) {
            if (IsEqualGUID(e->classGuid, classGuid)) due.push_back(e);
        }
    }
    ++dispatchDepth;
    for (const EntryRef& e : due) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!e->listed) continue;
            ++e->calls;
        }
        CallFrame frame{e.get(), innermostCall};
        innermostCall = &frame;
        try {
            e->callback(action, path);
        } catch (...) {
            // a host's exception must not unwind through the system's notification code
        }
        innermostCall = frame.outer;
        std::lock_guard<std::mutex> hold(mutex_);
        if (--e->calls == 0 && waiting_ > 0) idle_.notify_all();
    }
    --dispatchDepth;
}

void RegistrationList::WaitUntilIdle(const EntryRef& entry) {
    if (InsideDispatch()) return;
    int own = CallsOnThisThread(entry.get());
    std::unique_lock<std::mutex> hold(mutex_);
    ++waiting_;
    idle_.wait(hold, [&] { return entry->calls <= own; });
    --waiting_;
}

}  // namespace lwu
