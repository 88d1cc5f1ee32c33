// Ctrl+Alt+Del gives the lock up from the keyboard.
#include <algorithm>

#include "input_host.h"

namespace {

class Escape : public GateTest {
protected:
    // After the escape: the lock is off, its thread ends and input reaches the system again.
    void ExpectEscaped() {
        EXPECT_FALSE(api_->IsBlocked());
        EXPECT_TRUE(WaitForThreadCount(baseThreads_)) << "the lock thread did not end";
    }
};

TEST_F(Escape, KeyDownsInAnyOrderUnlockAndTheKeyUpsReachTheSystem) {
    WORD keys[] = {VK_DELETE, VK_LCONTROL, VK_LMENU};  // sorted: every permutation follows
    // (No SCOPED_TRACE: gtest starts a thread for it, which the thread counts would see.)
    do {
        ASSERT_TRUE(api_->LockInput(true));
        SendKey(keys[0], false);
        SendKey(keys[1], false);
        EXPECT_TRUE(api_->IsBlocked()) << "two of three keys do not unlock: " << keys[0] << "," << keys[1];
        SendKey(keys[2], false);
        ExpectEscaped();
        EXPECT_FALSE(KeyIsDown(keys[2])) << "the completing key-down " << keys[2] << " is swallowed";
        for (WORD k : keys) SendKey(k, true);
        EXPECT_EQ((SeenList{KeyUp(keys[0]), KeyUp(keys[1]), KeyUp(keys[2])}), observer_->Take());
    } while (std::next_permutation(std::begin(keys), std::end(keys)));
}

TEST_F(Escape, SystemKeyDownsCountAndAnnouncedKeysStillAdvanceTheEscape) {
    ASSERT_TRUE(api_->LockInput(true));
    // Alt passes as announced; with Alt down the system reports Delete as WM_SYSKEYDOWN.
    api_->AllowKeyboardEvent(WM_SYSKEYDOWN);
    SendKey(VK_LMENU, false);
    ASSERT_EQ((SeenList{{WM_SYSKEYDOWN, VK_LMENU}}), observer_->Take());
    SendKey(VK_DELETE, false);
    EXPECT_TRUE(api_->IsBlocked());
    // The completing key-down is swallowed even when announced; the pending announcements go too.
    api_->AllowKeyboardEvent(WM_SYSKEYDOWN);
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    SendKey(VK_RCONTROL, false);
    ExpectEscaped();
    EXPECT_EQ(SeenList{}, observer_->Take());
    ASSERT_TRUE(api_->LockInput(true));
    SendKey('A', false);
    MoveMouse();
    EXPECT_EQ(SeenList{}, observer_->Take()) << "no announcement survives the escape";
}

TEST_F(Escape, LeftAndRightKeysShareTheirBit) {
    ASSERT_TRUE(api_->LockInput(true));
    SendKey(VK_LCONTROL, false);
    SendKey(VK_RCONTROL, true);
    SendKey(VK_LMENU, false);
    SendKey(VK_DELETE, false);
    EXPECT_TRUE(api_->IsBlocked()) << "right Ctrl up cleared the Ctrl bit";
    SendKey(VK_RCONTROL, false);
    ExpectEscaped();
}

TEST_F(Escape, KeysHeldBeforeTheLockDoNotCount) {
    SendKey(VK_LCONTROL, false);
    SendKey(VK_LMENU, false);
    ASSERT_TRUE(KeyIsDown(VK_LCONTROL));
    ASSERT_TRUE(api_->LockInput(true));
    SendKey(VK_DELETE, false);
    EXPECT_TRUE(api_->IsBlocked());
    SendKey(VK_LCONTROL, false);  // seen again while locked (auto-repeat)
    EXPECT_TRUE(api_->IsBlocked());
    SendKey(VK_LMENU, false);
    ExpectEscaped();
}

TEST_F(Escape, LockAndUnlockWhileTheLockThreadEnds) {
    for (int round = 0; round < 30; ++round) {
        ASSERT_TRUE(api_->LockInput(true));
        SendKey(VK_LCONTROL, false);
        SendKey(VK_LMENU, false);
        SendKey(VK_DELETE, false);
        // The old thread may still be on its way out: then the lock is refused and nothing starts.
        bool locked = api_->LockInput(true);
        EXPECT_EQ(locked, api_->IsBlocked());
        EXPECT_LE(ThreadCount(), baseThreads_ + 1);
        if (round % 2 == 0) {
            EXPECT_TRUE(api_->LockInput(false));
            EXPECT_EQ(baseThreads_, ThreadCount()) << "unlock ends the lock thread in any state";
        } else {
            for (int i = 0; i < 100 && !locked; ++i) {
                Sleep(1);
                locked = api_->LockInput(true);
            }
            EXPECT_TRUE(locked) << "a later lock locks again";
            ASSERT_TRUE(api_->LockInput(false));
        }
        for (WORD k : {VK_LCONTROL, VK_LMENU, VK_DELETE}) SendKey(k, true);
    }
}

}  // namespace
