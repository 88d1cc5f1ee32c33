#include "fault_rows.h"

#include <cstring>
#include <stdexcept>
#include <thread>

namespace host {

namespace {

constexpr uint32_t kErrorGenFailure = 31;        // a stalled request or pipe
constexpr uint32_t kErrorSemTimeout = 121;       // a transfer whose time-out ran out
constexpr uint32_t kErrorOperationAborted = 995; // a transfer that a removal ended
constexpr uint8_t kVendor = 2, kInterface = 1;   // the message protocol's requests

void Open(Target& t, Seen& seen) {
    uint32_t r = t.api.OpenDevice(&t.session, t.path.c_str());
    seen.Note("open", Hex(r));
    if (r == 0) t.pipes = QueryPipes(t.api, t.handle());
}

// Read, again while the device has not yet queued its echo (the length request answers 0).
uint32_t ReadEcho(Target& t, ReadBuffer& buffer, uint32_t& length, DWORD patienceMs = 1000) {
    uint32_t r = LWU_READ_EMPTY;
    ULONGLONG end = GetTickCount64() + patienceMs;
    for (;;) {
        r = t.api.Read(t.handle(), t.pipes.in, buffer.data(), &length);
        if (r != LWU_READ_EMPTY || GetTickCount64() > end) return r;
        Sleep(20);
    }
}

uint32_t WriteMessage(Target& t, uint32_t length, uint8_t seed) {
    std::vector<uint8_t> m = Pattern(length, seed);
    return t.api.Write(t.handle(), t.pipes.out, m.data(), length);
}

uint32_t Request(Target& t, uint8_t request, uint16_t length) {
    uint8_t buffer[8] = {};
    return t.api.ControlRead(t.handle(), kVendor, kInterface, request, 0, 0, buffer, length);
}

bool Want(bool ok, const std::string& text, std::string& why) {
    if (!ok) why += (why.empty() ? "" : "; ") + text;
    return ok;
}

bool All(std::initializer_list<bool> parts) {
    for (bool p : parts)
        if (!p) return false;
    return true;
}

// --- a stalled request: the request fails, ep0 recovers at the next setup packet -----------------

void StallScript(Target& t, Seen& seen) {
    Open(t, seen);
    ReadBuffer buffer;
    uint32_t length = 0;
    seen.Note("Read", t.api.Read(t.handle(), t.pipes.in, buffer.data(), &length));
    seen.Note("ControlRead(0x84)", Request(t, 0x84, 4));
    seen.Note("ControlRead(0x81)", Request(t, 0x81, 1));
}
bool StallCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Read") == LWU_READ_FAILED, "Read must fail with 129", why),
                Want(s.Number("ControlRead(0x84)") == kErrorGenFailure, "a stalled request fails with 31", why),
                Want(s.Number("ControlRead(0x81)") == 0, "the next request succeeds", why)});
}
void StallWorld(const WorldApi& w, int device) { w.Stall(device, SIM_OP_CONTROL_TRANSFER, 0x84, SIM_FOREVER); }

// --- a halted bulk pipe: the transfer fails; the library's own reset after every transfer clears it

void HaltInScript(Target& t, Seen& seen) {
    Open(t, seen);
    seen.Note("Write", WriteMessage(t, 100, 1));
    ReadBuffer buffer;
    uint32_t length = 0;
    seen.Note("Read", ReadEcho(t, buffer, length));
    seen.Note("Read-again", ReadEcho(t, buffer, length));
    seen.Note("length", length);
    seen.Note("PipeReset", t.api.PipeReset(t.handle(), t.pipes.in));
}
bool HaltInCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Write") == 1, "the write goes through", why),
                Want(s.Number("Read") == LWU_READ_FAILED, "Read on the halted pipe fails with 129", why),
                Want(s.Number("Read-again") == LWU_READ_OK && s.Number("length") == 100,
                     "the library reset the pipe after the failed transfer: the echo of 100 bytes arrives", why),
                Want(s.Number("PipeReset") == 1, "PipeReset succeeds (1)", why)});
}
void HaltInWorld(const WorldApi& w, int device) { w.Stall(device, SIM_OP_READ_PIPE, SIM_ANY, 1); }

void HaltOutScript(Target& t, Seen& seen) {
    Open(t, seen);
    seen.Note("Write", WriteMessage(t, 100, 2));
    seen.Note("Write-again", WriteMessage(t, 100, 3));
    ReadBuffer buffer;
    uint32_t length = 0;
    seen.Note("Read", ReadEcho(t, buffer, length));
    seen.Note("length", length);
    seen.Note("PipeReset", t.api.PipeReset(t.handle(), t.pipes.out));
}
bool HaltOutCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Write") == 0, "Write on the halted pipe fails (0)", why),
                Want(s.Number("Write-again") == 1, "the library reset the pipe after the failed transfer: "
                                                   "the next Write succeeds", why),
                Want(s.Number("Read") == LWU_READ_OK && s.Number("length") == 100, "and its echo arrives", why),
                Want(s.Number("PipeReset") == 1, "PipeReset succeeds (1)", why)});
}
void HaltOutWorld(const WorldApi& w, int device) { w.Stall(device, SIM_OP_WRITE_PIPE, SIM_ANY, 1); }

// --- short packets: a short packet ends the bulk IN transfer ---------------------------------------

void ShortScript(Target& t, Seen& seen) {
    Open(t, seen);
    seen.Note("Write", WriteMessage(t, 1000, 4));
    ReadBuffer buffer;
    uint32_t length = 0;
    seen.Note("Read", ReadEcho(t, buffer, length));
}
bool ShortCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Write") == 1, "the write goes through", why),
                Want(s.Number("Read") == LWU_READ_FAILED, "a read that a short packet ended fails with 129", why)});
}
void ShortWorld(const WorldApi& w, int device) { w.ShortTransfer(device, SIM_OP_READ_PIPE, SIM_ANY, 100, 1); }

// --- a message of whole packets without a zero-length packet, then with one ------------------------

void MissingZlpScript(Target& t, Seen& seen) {
    Open(t, seen);
    seen.Note("Write", WriteMessage(t, 1024, 5));
    ReadBuffer buffer;
    uint32_t length = 0;
    seen.Note("Read", ReadEcho(t, buffer, length));
    UCHAR on = 1;
    seen.Note("SetPipePolicy(SHORT_PACKET_TERMINATE)", t.api.SetPipePolicy(t.handle(), t.pipes.out, 1, 1, &on));
    seen.Note("Write-terminated", WriteMessage(t, 1024, 6));
    seen.Note("Read-after", ReadEcho(t, buffer, length));
    seen.Note("length", length);
}
bool MissingZlpCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Write") == 1, "the write goes through", why),
                Want(s.Number("Read") == LWU_READ_EMPTY, "the device has no whole message yet: Read returns 0", why),
                Want(s.Number("SetPipePolicy(SHORT_PACKET_TERMINATE)") == 0, "the policy is set", why),
                Want(s.Number("Write-terminated") == 1, "the terminated write goes through", why),
                Want(s.Number("Read-after") == LWU_READ_OK && s.Number("length") == 2048,
                     "the zero-length packet ends one message of both writes, 2048 bytes", why)});
}

// --- a zero-length packet after an IN message of whole packets -------------------------------------

void ExtraZlpScript(Target& t, Seen& seen) {
    Open(t, seen);
    ReadBuffer buffer;
    uint32_t length = 0;
    UCHAR on = 1;   // the device's message of whole packets ends only at a zero-length packet
    seen.Note("SetPipePolicy(SHORT_PACKET_TERMINATE)", t.api.SetPipePolicy(t.handle(), t.pipes.out, 1, 1, &on));
    seen.Note("Write", WriteMessage(t, 512, 7));
    seen.Note("Read", ReadEcho(t, buffer, length));
    seen.Note("length", length);
    seen.Note("Write-next", WriteMessage(t, 100, 8));
    seen.Note("Read-next", ReadEcho(t, buffer, length));
}
bool ExtraZlpCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Read") == LWU_READ_OK && s.Number("length") == 512, "the 512-byte echo arrives", why),
                Want(s.Number("Write-next") == 1, "the next write goes through", why),
                Want(s.Number("Read-next") == LWU_READ_FAILED,
                     "the zero-length packet left in the pipe fails the next Read (129)", why)});
}
void ExtraZlpConfig(SimUsbDeviceConfig& c) { c.zeroLengthPacket = 1; }

// --- a device slower than the time-out --------------------------------------------------------------

std::string Near(ULONGLONG took, ULONGLONG want) {
    return took + 100 >= want && took <= want + 900 ? "near-" + std::to_string(want) + "ms"
                                                   : std::to_string(took) + "ms";
}

void BulkDelayScript(Target& t, Seen& seen) {
    Open(t, seen);
    seen.Note("SetTransferTimeoutPolicy", t.api.SetTransferTimeoutPolicy(t.handle(), t.pipes.in, 500));
    seen.Note("Write", WriteMessage(t, 100, 9));
    Sleep(100);   // the device announces the echo at once and holds its packets back
    ReadBuffer buffer;
    uint32_t length = 0;
    ULONGLONG started = GetTickCount64();
    uint32_t r = t.api.Read(t.handle(), t.pipes.in, buffer.data(), &length);
    DWORD error = GetLastError();
    seen.Note("Read", r);
    seen.Note("GetLastError", error);
    seen.Note("took", Near(GetTickCount64() - started, 500));
}
bool BulkDelayCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("SetTransferTimeoutPolicy") == 0, "the time-out is set", why),
                Want(s.Number("Read") == LWU_READ_FAILED, "the read fails with 129", why),
                Want(s.Number("GetLastError") == kErrorSemTimeout, "its last error is 121", why),
                Want(s.Get("took") == "near-500ms", "after the pipe's 500 ms", why)});
}
void BulkDelayWorld(const WorldApi& w, int device) { w.Hang(device, SIM_OP_READ_PIPE, SIM_ANY, 0, 1); }

void RequestDelayScript(Target& t, Seen& seen) {
    Open(t, seen);
    ReadBuffer buffer;
    uint32_t length = 0;
    ULONGLONG started = GetTickCount64();
    uint32_t r = t.api.Read(t.handle(), t.pipes.in, buffer.data(), &length);
    DWORD error = GetLastError();
    seen.Note("Read", r);
    seen.Note("GetLastError", error);
    seen.Note("took", Near(GetTickCount64() - started, 5000));
    Sleep(1500);   // the device is still busy with the late request
}
bool RequestDelayCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("Read") == LWU_READ_FAILED, "the read fails with 129", why),
                Want(s.Number("GetLastError") == kErrorSemTimeout, "its last error is 121", why),
                Want(s.Get("took") == "near-5000ms", "after the control pipe's 5 s", why)});
}
void RequestDelayWorld(const WorldApi& w, int device) { w.Hang(device, SIM_OP_CONTROL_TRANSFER, 0x84, 0, 1); }

// --- an unplug in the middle of a transfer ---------------------------------------------------------

void UnplugScript(Target& t, Seen& seen) {
    Open(t, seen);
    std::vector<uint8_t> m = Pattern(65536, 10);
    uint32_t moved = 0;
    seen.Note("PipeWrite", t.api.PipeWrite(t.handle(), t.pipes.out, m.data(), static_cast<uint32_t>(m.size()), &moved, nullptr));
    Sleep(500);   // the removal reaches every layer
    uint32_t later = Request(t, 0x81, 1);
    seen.Note("later", later == 22 || later == 1167 || later == 433 ? "removal-code" : std::to_string(later));
    seen.Note("later-code", later);
    t.api.CloseDevice(&t.session);
    DeviceSession again{};
    seen.Note("reopen", Hex(t.api.OpenDevice(&again, t.path.c_str())));
    if (again.isOpen) t.api.CloseDevice(&again);
}
bool UnplugCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("PipeWrite") == kErrorOperationAborted, "the transfer under way ends with 995", why),
                Want(s.Get("later") == "removal-code", "a later call fails with 22, 1167 or 433", why),
                Want(s.Get("reopen") == "0x80070002", "a reopen fails with 0x80070002", why)});
}
void UnplugWorld(const WorldApi& w, int device) {
    w.Hang(device, SIM_OP_WRITE_PIPE, SIM_ANY, 2048, 1);
    // The device goes while the write waits in it.
    std::thread([w, device] {
        Sleep(300);
        w.RemoveDevice(device);
    }).detach();
}

// --- string requests in language 0 refused ---------------------------------------------------------

void StringsScript(Target& t, Seen& seen) {
    UsbDeviceDetail detail{};
    seen.Note("GetUsbDeviceDetail", static_cast<uint32_t>(t.api.GetUsbDeviceDetail(&detail, t.path.c_str())));
    seen.Note("vendor", Hex(detail.vendorId));
    seen.Note("serial", detail.serialNumber ? "\"" + std::string(detail.serialNumber) + "\"" : "null");
    seen.Note("product", detail.product ? "\"" + std::string(detail.product) + "\"" : "null");
    t.api.FreeUsbDeviceDetail(&detail);
}
bool StringsCheck(const Seen& s, std::string& why) {
    return All({Want(s.Number("GetUsbDeviceDetail") == 0, "GetUsbDeviceDetail returns 0", why),
                Want(s.Get("vendor") == "0x1209", "the IDs are written", why),
                Want(s.Get("serial") == "\"\"", "the serial number is empty", why),
                Want(s.Get("product") == "null", "nothing after the serial number is written", why)});
}
void StringsConfig(SimUsbDeviceConfig& c) { c.stringsNeedLanguage = 1; }

}  // namespace

void WorldApi::Bind() {
    HMODULE m = LoadLibraryA("simworld.dll");
    if (!m) throw std::runtime_error("simworld.dll does not load");
    auto get = [m](const char* name) {
        FARPROC p = GetProcAddress(m, name);
        if (!p) throw std::runtime_error(std::string("simworld.dll lacks ") + name);
        return reinterpret_cast<void*>(p);
    };
    Reset = reinterpret_cast<decltype(Reset)>(get("SimWorld_Reset"));
    DefaultConfig = reinterpret_cast<decltype(DefaultConfig)>(get("SimWorld_DefaultConfig"));
    AddDevice = reinterpret_cast<decltype(AddDevice)>(get("SimWorld_AddDevice"));
    RemoveDevice = reinterpret_cast<decltype(RemoveDevice)>(get("SimWorld_RemoveDevice"));
    Stall = reinterpret_cast<decltype(Stall)>(get("SimWorld_Stall"));
    Hang = reinterpret_cast<decltype(Hang)>(get("SimWorld_Hang"));
    ShortTransfer = reinterpret_cast<decltype(ShortTransfer)>(get("SimWorld_ShortTransfer"));
    SetSeed = reinterpret_cast<decltype(SetSeed)>(get("SimWorld_SetSeed"));
}

const std::vector<FaultRow>& FaultRows() {
    static const std::vector<FaultRow> rows = {
        {"stall-request", "--fault stall-request=0x84", nullptr, StallWorld, StallScript, StallCheck},
        {"halt-in", "--fault halt-in", nullptr, HaltInWorld, HaltInScript, HaltInCheck},
        {"halt-out", "--fault halt-out", nullptr, HaltOutWorld, HaltOutScript, HaltOutCheck},
        {"short-packets", "--fault short-packets=100", nullptr, ShortWorld, ShortScript, ShortCheck},
        {"missing-zlp", "", nullptr, nullptr, MissingZlpScript, MissingZlpCheck},
        {"extra-zlp", "--fault extra-zlp", ExtraZlpConfig, nullptr, ExtraZlpScript, ExtraZlpCheck},
        {"bulk-delay", "--fault delay-ms=1500", nullptr, BulkDelayWorld, BulkDelayScript, BulkDelayCheck},
        {"request-delay", "--fault delay-request=0x84:6500", nullptr, RequestDelayWorld, RequestDelayScript,
         RequestDelayCheck},
        {"unplug-mid-write", "--fault unplug-after-bytes=2048", nullptr, UnplugWorld, UnplugScript, UnplugCheck},
        {"strings-language-0", "--fault strings-need-language", StringsConfig, nullptr, StringsScript, StringsCheck},
    };
    return rows;
}

const FaultRow* FindFaultRow(const std::string& name) {
    for (const FaultRow& row : FaultRows())
        if (name == row.name) return &row;
    return nullptr;
}

}  // namespace host
