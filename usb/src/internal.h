// Process-wide state and routines shared by the parts of the library.
#pragma once
#include <windows.h>
#include <winusb.h>

#include <cstdint>
#include <string>

#include "LinkWinUsb.h"

namespace lwu {

// Last protocol version byte a device reported at open; selects the framing of Read and Write.
extern uint8_t protocolVersion;
// Pipes of the device queried last; CloseDevice flushes and resets each recorded one.
constexpr int kPipeTableSize = 4;
constexpr uint8_t kNoPipe = 0xFF;
extern PipeEntry PipeTable[kPipeTableSize];

constexpr uint8_t kDirectionIn = 1;
constexpr uint8_t kDirectionOut = 0;
constexpr uint8_t kTypeVendor = 2;
constexpr uint8_t kRecipientInterface = 1;

uint32_t ControlRequest(void* handle, uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request,
                        uint16_t value, uint16_t index, void* buffer, uint16_t length);

// A vendor request of the message protocol: type vendor, recipient interface, value and index 0.
inline uint32_t VendorRequest(void* handle, uint8_t direction, uint8_t request, void* buffer, uint16_t length) {
    return ControlRequest(handle, direction, kTypeVendor, kRecipientInterface, request, 0, 0, buffer, length);
}

// The system message of the calling thread's last Win32 error, with its own line end.
std::string LastErrorText();

// The buffered diagnostic text stream on standard output: prefix followed by the error text.
void WriteDiagnostic(const char* prefix, const std::string& text);

// Converts zero-terminated UTF-16 text to the calling thread's ANSI code page (characters the
// code page lacks become its default character). False, with `out` empty, when it cannot.
bool NarrowText(const wchar_t* text, std::string& out);

inline bool IsInvalid(const void* handle) { return handle == INVALID_HANDLE_VALUE; }

// The status of a failed platform call from the last error it left. A failure the platform gave
// no reason for is reported as the code WinUSB itself gives a failing device, so that no failure
// reads as success.
inline uint32_t FailureCode(DWORD lastError) { return lastError != 0 ? lastError : ERROR_GEN_FAILURE; }

// HRESULT_FROM_WIN32 as the platform's published macro defines it.
inline uint32_t HresultFromWin32(uint32_t code) {
    return static_cast<int32_t>(code) <= 0 ? code : (0x80070000u | (code & 0xFFFFu));
}

}  // namespace lwu
