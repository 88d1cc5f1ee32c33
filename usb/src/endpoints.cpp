// Discovery of the interface's endpoints: the host's IN/OUT pair and the pipes CloseDevice
// flushes and resets.
#include <cstdio>
#include <cstring>

#include "guard.h"
#include "internal.h"

namespace lwu {

namespace {

constexpr uint8_t kPipeIn = 0x80;   // direction bit of the endpoint address

// Copies the pipe into the host's entry unless an earlier endpoint index already took it.
void Offer(const PipeEntry& pipe, PipeEntry& slot) {
    if (slot.pipeType == 0) std::memcpy(&slot, &pipe, sizeof pipe);
}

void OfferByDirection(const PipeEntry& pipe, EndpointPair& endpoints) {
    Offer(pipe, (pipe.pipeId & kPipeIn) ? endpoints.in : endpoints.out);
}

void Classify(int index, const PipeEntry& pipe, EndpointPair& endpoints) {
    switch (pipe.pipeType) {
    case UsbdPipeTypeControl:
        std::printf("Endpoint index: %d Pipe type: Control Pipe ID: %d.\n", index, pipe.pipeId);
        break;
    case UsbdPipeTypeIsochronous:
        std::printf("Endpoint index: %d Pipe type: Isochronous Pipe ID: %d.\n", index, pipe.pipeId);
        OfferByDirection(pipe, endpoints);
        break;
    case UsbdPipeTypeBulk:
        if (pipe.pipeId & kPipeIn) {
            std::printf("Endpoint index: %d Pipe type: bulk-in Pipe ID:  %X MaximumPacketSize: %X.\n", index,
                        pipe.pipeId, pipe.maxPacketSize);
        } else {
            std::printf("Endpoint index: %d Pipe type: bulk-out  Pipe ID:  %X  MaximumPacketSize: %X.\n", index,
                        pipe.pipeId, pipe.maxPacketSize);
        }
        OfferByDirection(pipe, endpoints);
        break;
    case UsbdPipeTypeInterrupt:
        std::printf("Endpoint index: %d Pipe type: Interrupt Pipe ID: %d.\n", index, pipe.pipeId);
        OfferByDirection(pipe, endpoints);
        break;
    default:
        break;   // no such USB pipe type: neither printed nor offered
    }
}

uint32_t QueryEndpoints(void* handle, EndpointPair* endpoints) {
    if (IsInvalid(handle) || !endpoints) return 0;
    std::memset(PipeTable, 0, sizeof PipeTable);
    for (PipeEntry& entry : PipeTable) entry.pipeId = kNoPipe;
    endpoints->in.pipeType = 0;
    endpoints->out.pipeType = 0;

    USB_INTERFACE_DESCRIPTOR setting{};
    BOOL result = WinUsb_QueryInterfaceSettings(handle, 0, &setting);
    if (!result) return 0;
    WINUSB_PIPE_INFORMATION_EX info{};
    for (int i = 0; i < setting.bNumEndpoints; ++i) {
        // The last query made decides the result, whatever the earlier ones gave.
        result = WinUsb_QueryPipeEx(handle, 0, static_cast<UCHAR>(i), &info);
        if (!result) continue;
        PipeEntry fresh{};
        PipeEntry& pipe = i < kPipeTableSize ? PipeTable[i] : fresh;   // only the first four are recorded
        pipe.pipeType = static_cast<uint16_t>(info.PipeType & 0xFFFF);
        pipe.pipeId = info.PipeId;
        pipe.maxPacketSize = info.MaximumPacketSize;
        pipe.maxPacketSizeCopy = info.MaximumPacketSize;
        pipe.interval = info.Interval;
        Classify(i, pipe, *endpoints);
    }
    return static_cast<uint32_t>(result);
}

}  // namespace
}  // namespace lwu

using namespace lwu;

extern "C" {

uint32_t LWU_CALL QueryDeviceEndpoints(void* handle, EndpointPair* endpoints) {
    return Guarded<uint32_t>(0, [&] { return QueryEndpoints(handle, endpoints); });
}

}  // extern "C"
