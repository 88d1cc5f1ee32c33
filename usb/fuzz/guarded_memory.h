// Host buffers that fault at the first byte outside them. Each buffer lies in a region of its
// own between two inaccessible pages: against the upper one ("end": its last byte is the last
// accessible byte) or against the lower one ("start": its first byte is the first accessible
// byte). A canary fills the open side next to the buffer, so a stray write there shows too, and
// a buffer the callee only reads can be made read-only for the call.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

enum class Placement { End, Start };

class GuardedRegion {
public:
    static constexpr size_t kCanary = 64;
    static constexpr uint8_t kCanaryByte = 0xCD;

    GuardedRegion() = default;
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;
    ~GuardedRegion() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    }

    // Room for buffers of up to `capacity` bytes; false when the memory cannot be had.
    bool Reserve(size_t capacity, const char* name) {
        name_ = name;
        page_ = PageSize();
        pages_ = (capacity + kCanary + page_ - 1) / page_;
        size_t total = (pages_ + 2) * page_;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!base_) return false;
        DWORD old = 0;
        return VirtualProtect(base_, page_, PAGE_NOACCESS, &old) &&
               VirtualProtect(base_ + (pages_ + 1) * page_, page_, PAGE_NOACCESS, &old);
    }

    size_t capacity() const { return pages_ * page_ - kCanary; }
    const char* name() const { return name_; }

    // A buffer of `size` bytes against a guard page, with the canary set beside it.
    uint8_t* Place(size_t size, Placement placement) {
        size_ = size;
        placement_ = placement;
        uint8_t* first = base_ + page_;
        uint8_t* last = first + pages_ * page_;   // one past the accessible bytes
        if (placement == Placement::End) {
            buffer_ = last - size;
            canary_ = buffer_ - kCanary;
        } else {
            buffer_ = first;
            canary_ = buffer_ + size;
        }
        std::memset(canary_, kCanaryByte, kCanary);
        return buffer_;
    }
    uint8_t* buffer() const { return buffer_; }
    size_t size() const { return size_; }

    bool CanaryIntact() const {
        if (!canary_) return true;
        for (size_t i = 0; i < kCanary; ++i) {
            if (canary_[i] != kCanaryByte) return false;
        }
        return true;
    }

    // The accessible pages become read-only (or writable again).
    void ReadOnly(bool on) {
        DWORD old = 0;
        VirtualProtect(base_ + page_, pages_ * page_, on ? PAGE_READONLY : PAGE_READWRITE, &old);
        readOnly_ = on;
    }
    bool readOnly() const { return readOnly_; }

    bool InGuard(const void* address) const {
        auto a = static_cast<const uint8_t*>(address);
        return base_ && ((a >= base_ && a < base_ + page_) ||
                         (a >= base_ + (pages_ + 1) * page_ && a < base_ + (pages_ + 2) * page_));
    }
    bool InAccessible(const void* address) const {
        auto a = static_cast<const uint8_t*>(address);
        return base_ && a >= base_ + page_ && a < base_ + (pages_ + 1) * page_;
    }
    // Where an address lies relative to the placed buffer (negative: before it).
    long long OffsetOf(const void* address) const {
        return static_cast<long long>(static_cast<const uint8_t*>(address) - buffer_);
    }

    static size_t PageSize() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
    }

private:
    const char* name_ = "";
    size_t page_ = 4096;
    size_t pages_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* buffer_ = nullptr;
    uint8_t* canary_ = nullptr;
    size_t size_ = 0;
    Placement placement_ = Placement::End;
    bool readOnly_ = false;
};
