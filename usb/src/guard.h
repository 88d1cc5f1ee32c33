// No exception may leave an export: each export body runs inside Guarded.
#pragma once
#include <new>

namespace lwu {

template <class R, class F>
R Guarded(R onFailure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

template <class F>
void GuardedVoid(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace lwu
