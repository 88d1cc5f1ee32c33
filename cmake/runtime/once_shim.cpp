// Linked into the shipped DLLs in place of the mingw-w64 threading runtime's pthread_once
// (ld --wrap). That pthread_once records the calling thread (an event, a duplicate of the thread
// handle and a thread-local storage index) and nothing releases the record when the DLL unloads.
// The 32-bit runtime calls it at every load, when it registers the DLL's unwind tables, so each
// LoadLibrary/FreeLibrary cycle of a host would cost two handles and one TLS index. This one
// runs each initialiser once under one process-wide lock and records nothing.
#include <windows.h>

namespace {

SRWLOCK onceLock = SRWLOCK_INIT;
volatile LONG onceOwner = 0;   // id of the thread running initialisers; they may nest

class OnceHold {
public:
    OnceHold() noexcept : self_(static_cast<LONG>(GetCurrentThreadId())) {
        nested_ = InterlockedCompareExchange(&onceOwner, 0, 0) == self_;
        if (nested_) return;
        AcquireSRWLockExclusive(&onceLock);
        InterlockedExchange(&onceOwner, self_);
    }
    ~OnceHold() {
        if (nested_) return;
        InterlockedExchange(&onceOwner, 0);
        ReleaseSRWLockExclusive(&onceLock);
    }
    OnceHold(const OnceHold&) = delete;
    OnceHold& operator=(const OnceHold&) = delete;

private:
    LONG self_;
    bool nested_ = false;
};

}  // namespace

// The name ld --wrap=pthread_once binds the runtime's calls to.
extern "C" int __wrap_pthread_once(volatile LONG* once, void (*initialise)(void)) {  // NOLINT(bugprone-reserved-identifier)
    if (InterlockedCompareExchange(once, 0, 0) == 1) return 0;
    OnceHold hold;
    if (*once == 0) {
        initialise();   // an exception leaves the state at 0, as the runtime's own does
        InterlockedExchange(once, 1);
    }
    return 0;
}
