// Announced events: one announcement lets one event of its type through, first in first out per device.
#include "input_host.h"

namespace {

class Announce : public GateTest {
protected:
    void SetUp() override {
        GateTest::SetUp();
        ASSERT_TRUE(api_->LockInput(true));
    }
};

TEST_F(Announce, PressAndReleasePassThenTheQueueIsEmpty) {
    api_->AllowKeyboardEvent(WM_KEYDOWN);
    api_->AllowKeyboardEvent(WM_KEYUP);
    SendKey('A', false);
    EXPECT_TRUE(KeyIsDown('A')) << "the announced key-down reached the system";
    SendKey('A', true);
    EXPECT_FALSE(KeyIsDown('A'));
    Press('B');
    EXPECT_EQ((SeenList{KeyDown('A'), KeyUp('A')}), observer_->Take());
}

TEST_F(Announce, QueueIsStrictlyFirstInFirstOut) {
    api_->AllowKeyboardEvent(WM_KEYUP);
    Press('A');  // the key-down meets the key-up announcement: blocked, the announcement stays
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    api_->AllowMouseEvent(WM_LBUTTONDOWN);
    MouseButton(false);  // not the front entry
    MoveMouse();
    MouseButton(false);
    MouseButton(false);  // queue empty again
    EXPECT_EQ((SeenList{KeyUp('A'), Mouse(WM_MOUSEMOVE), Mouse(WM_LBUTTONDOWN)}), observer_->Take());
}

TEST_F(Announce, TypeThatNeverComesBlocksTheDeviceUntilTheLockEnds) {
    api_->AllowKeyboardEvent(0);
    api_->AllowKeyboardEvent(WM_KEYDOWN);
    Press('A');
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    MoveMouse();
    EXPECT_EQ((SeenList{Mouse(WM_MOUSEMOVE)}), observer_->Take()) << "the mouse queue is independent";
    ASSERT_TRUE(api_->LockInput(false));
    ASSERT_TRUE(api_->LockInput(true));
    api_->AllowKeyboardEvent(WM_KEYDOWN);
    SendKey('A', false);
    EXPECT_EQ(SeenList{KeyDown('A')}, observer_->Take()) << "a new lock starts with empty queues";
}

TEST_F(Announce, SameTypeTwiceLetsExactlyTwoThrough) {
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    for (int i = 0; i < 3; ++i) MoveMouse();
    EXPECT_EQ((SeenList{Mouse(WM_MOUSEMOVE), Mouse(WM_MOUSEMOVE)}), observer_->Take());
}

TEST_F(Announce, DevicesDoNotShareAnnouncements) {
    // Each device meets only its own queue: a keyboard announcement of the mouse's type lets no
    // mouse event through, and the reverse.
    api_->AllowKeyboardEvent(WM_MOUSEMOVE);
    api_->AllowMouseEvent(WM_KEYDOWN);
    MoveMouse();
    SendKey('A', false);
    EXPECT_EQ(SeenList{}, observer_->Take()) << "an announcement served the other device";
    ASSERT_TRUE(api_->LockInput(false));
    // Each device's front entry is its own, whatever the order of the announcements across devices.
    ASSERT_TRUE(api_->LockInput(true));
    api_->AllowKeyboardEvent(WM_KEYDOWN);
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    api_->AllowKeyboardEvent(WM_KEYUP);
    MoveMouse();
    Press('B');
    EXPECT_EQ((SeenList{Mouse(WM_MOUSEMOVE), KeyDown('B'), KeyUp('B')}), observer_->Take())
        << "the devices share one queue";
}

TEST_F(Announce, AnnouncementsWhileUnlockedAreDropped) {
    ASSERT_TRUE(api_->LockInput(false));
    api_->AllowKeyboardEvent(WM_KEYDOWN);
    api_->AllowMouseEvent(WM_MOUSEMOVE);
    ASSERT_TRUE(api_->LockInput(true));
    SendKey('A', false);
    MoveMouse();
    EXPECT_EQ(SeenList{}, observer_->Take()) << "made before the lock";

    api_->AllowKeyboardEvent(WM_KEYUP);  // pending at the unlock
    ASSERT_TRUE(api_->LockInput(false));
    api_->AllowKeyboardEvent(WM_KEYUP);  // made while unlocked
    ASSERT_TRUE(api_->LockInput(true));
    SendKey('A', true);
    EXPECT_EQ(SeenList{}, observer_->Take()) << "nothing carries into the next lock";
}

struct Announcer {
    GateApi* api;
    int count;
};

DWORD WINAPI AnnounceMoves(LPVOID arg) {
    auto* a = static_cast<Announcer*>(arg);
    for (int i = 0; i < a->count; ++i) a->api->AllowMouseEvent(WM_MOUSEMOVE);
    return 0;
}

TEST_F(Announce, ManyThreadsAnnouncingWhileEventsFlowLoseNothing) {
    constexpr int THREADS = 8, EACH = 150, TOTAL = THREADS * EACH;
    Announcer job{api_.get(), EACH};
    std::vector<HANDLE> threads;
    for (int i = 0; i < THREADS; ++i) threads.push_back(CreateThread(nullptr, 0, AnnounceMoves, &job, 0, nullptr));
    int sent = 0;
    while (WaitForMultipleObjects(THREADS, threads.data(), TRUE, 0) == WAIT_TIMEOUT) {
        MoveMouse();
        ++sent;
    }
    for (HANDLE t : threads) CloseHandle(t);
    size_t passed = observer_->Take().size();
    ASSERT_LE(passed, size_t(TOTAL));
    // Every announcement not yet used is still queued: exactly that many more moves pass.
    for (size_t i = passed; i < size_t(TOTAL) + 5; ++i) MoveMouse();
    EXPECT_EQ(size_t(TOTAL), passed + observer_->Take().size()) << sent << " moves sent while announcing";
}

}  // namespace
