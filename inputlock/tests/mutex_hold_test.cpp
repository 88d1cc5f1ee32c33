// The library's mutex holder against real kernel mutexes: an abandoned mutex must not stay held.
#include <windows.h>

#include <gtest/gtest.h>

#include "internal.h"

namespace {

using inputgate::MutexHold;

DWORD WINAPI TakeAndQuit(LPVOID mutex) {
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0;  // ends owning the mutex: the next wait sees WAIT_ABANDONED
}

DWORD WINAPI TryTake(LPVOID mutex) {
    DWORD r = WaitForSingleObject(static_cast<HANDLE>(mutex), 2000);
    if (r == WAIT_OBJECT_0) ReleaseMutex(static_cast<HANDLE>(mutex));
    return r;
}

DWORD OnOtherThread(LPTHREAD_START_ROUTINE f, HANDLE mutex) {
    HANDLE t = CreateThread(nullptr, 0, f, mutex, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    return code;
}

TEST(MutexHold, AbandonedMutexCountsAsFailedAndIsGivenBack) {
    inputgate::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    OnOtherThread(TakeAndQuit, mutex.get());
    {
        MutexHold hold(mutex.get());
        EXPECT_FALSE(hold) << "an abandoned wait does not count as acquired";
        EXPECT_EQ(DWORD(WAIT_OBJECT_0), OnOtherThread(TryTake, mutex.get())) << "the mutex stayed held";
    }
    MutexHold again(mutex.get());
    EXPECT_TRUE(again);
}

TEST(MutexHold, OwnerCanHoldAgainAndReleasesOncePerHold) {
    inputgate::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    {
        MutexHold outer(mutex.get());
        {
            MutexHold inner(mutex.get());
            EXPECT_TRUE(inner);
        }
        EXPECT_EQ(DWORD(WAIT_TIMEOUT), OnOtherThread(TryTake, mutex.get())) << "the outer hold still holds";
    }
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), OnOtherThread(TryTake, mutex.get()));
    EXPECT_FALSE(MutexHold(nullptr)) << "no mutex: nothing held";
}

}  // namespace
