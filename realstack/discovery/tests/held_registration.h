// A Configuration Manager registration of the test's own, made directly with the face, whose
// callback holds each arrival until told to let it go: it shows that CM_Unregister_Notification
// returns only after a callback in progress has returned, that the context pointer reaches the
// callback, and that nothing is heard before the registration or after its release.
#pragma once
#include <windows.h>
#include <cfgmgr32.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class HeldRegistration {
public:
    struct Heard {
        CM_NOTIFY_ACTION action;
        std::string path;
        DWORD thread;
    };

    HeldRegistration();
    ~HeldRegistration();
    HeldRegistration(const HeldRegistration&) = delete;
    HeldRegistration& operator=(const HeldRegistration&) = delete;

    CONFIGRET Register();
    // Waits until a callback holds an arrival.
    bool WaitHolding(DWORD timeoutMs);
    // Releases the registration while a callback holds an arrival, letting it go `holdMs` later
    // from another thread. True when the release returned after the callback did, and not before
    // `holdMs` had passed; `tookMs` is how long it took.
    bool ReleaseWhileHeld(DWORD holdMs, ULONGLONG& tookMs);
    std::vector<Heard> Events();

private:
    static DWORD CALLBACK Callback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                   PCM_NOTIFY_EVENT_DATA data, DWORD size);

    HCMNOTIFICATION handle_ = nullptr;
    HANDLE holding_;   // set while a callback holds an arrival
    HANDLE letGo_;     // lets it go
    std::atomic<bool> returned_{false};
    std::mutex lock_;
    std::vector<Heard> events_;
};
