// Announced events: the host lets one event of a given type through per announcement, in order.
#include "inputgate.h"
#include "internal.h"

namespace inputgate {
namespace {

struct DecisionTexts {
    const char* empty;
    const char* matched;
    const char* mismatched;
};

constexpr DecisionTexts KEYBOARD_TEXTS = {
    "KeyboardHook:\tblocked     \teventType=%04x, size=%d",
    "KeyboardHook:\tallowed(==) \teventType=%04x, allowedEventType=%04x, size=%d",
    "KeyboardHook:\tblocked(!=) \teventType=%04x, allowedEventType=%04x, size=%d",
};
constexpr DecisionTexts MOUSE_TEXTS = {
    "MouseHook:\tblocked     \teventType=%04x, size=%d",
    "MouseHook:\tallowed(==) \teventType=%04x\tallowedEventType=%04x, size=%d",
    "MouseHook:\tblocked(!=) \teventType=%04x\tallowedEventType=%04x, size=%d",
};

void Announce(EventQueue& queue, std::uint32_t eventType, const char* text) noexcept {
    StateHold hold(stateMutex);
    if (!hold) return;
    if (!BothHooksRecorded()) return;  // the lock is off: the announcement is lost
    try {
        queue.push_back(eventType);  // strong guarantee: on failure the queue keeps what it had
    } catch (...) {  // only storage can fail here
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    TraceEvent(text, eventType, static_cast<int>(queue.size()));
}

}  // namespace

bool TakeAnnouncedEvent(Device device, WPARAM eventType) noexcept {
    EventQueue& queue = device == Device::Keyboard ? allowedKeyboardEvents : allowedMouseEvents;
    const DecisionTexts& texts = device == Device::Keyboard ? KEYBOARD_TEXTS : MOUSE_TEXTS;
    if (queue.empty()) {
        TraceEvent(texts.empty, eventType, 0);
        return false;
    }
    std::uintptr_t allowedEventType = queue.front();
    if (eventType != allowedEventType) {
        TraceEvent(texts.mismatched, eventType, allowedEventType, static_cast<int>(queue.size()));
        return false;
    }
    queue.pop_front();
    TraceEvent(texts.matched, eventType, allowedEventType, static_cast<int>(queue.size()));
    return true;
}

}  // namespace inputgate

using namespace inputgate;

extern "C" void INPUTGATE_CALL AllowKeyboardEvent(std::uint32_t eventType) {
    Announce(allowedKeyboardEvents, eventType, "AllowKeyboardEvent:\teventType=%04x, size=%d");
}

extern "C" void INPUTGATE_CALL AllowMouseEvent(std::uint32_t eventType) {
    Announce(allowedMouseEvents, eventType, "AllowMouseEvent:\teventType=%04x, size=%d");
}
