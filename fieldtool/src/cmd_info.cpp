// info: one device's identity, device descriptor, protocol version, endpoints and time-outs.
#include <cstdio>

#include "commands.h"
#include "device.h"

namespace fieldtool {

namespace {

const char* PipeTypeName(uint16_t type) {
    switch (type) {
    case 0: return "control";
    case 1: return "isochronous";
    case 2: return "bulk";
    case 3: return "interrupt";
    default: return "unknown";
    }
}

std::string Bcd(uint16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
    return text;
}

struct DescriptorField {
    const char* name;
    int offset;
    int width;   // bytes: 1 or 2
    bool bcd;
};

const DescriptorField kDeviceDescriptor[] = {
    {"bLength", 0, 1, false},         {"bDescriptorType", 1, 1, false}, {"bcdUSB", 2, 2, true},
    {"bDeviceClass", 4, 1, false},    {"bDeviceSubClass", 5, 1, false}, {"bDeviceProtocol", 6, 1, false},
    {"bMaxPacketSize0", 7, 1, false}, {"idVendor", 8, 2, false},        {"idProduct", 10, 2, false},
    {"bcdDevice", 12, 2, true},       {"iManufacturer", 14, 1, false},  {"iProduct", 15, 1, false},
    {"iSerialNumber", 16, 1, false},  {"bNumConfigurations", 17, 1, false},
};

void Identity(Context& ctx, const std::string& path) {
    UsbDeviceDetail detail{};
    const bool ok = ctx.lwu->GetUsbDeviceDetail(&detail, path.c_str()) != 0;
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    char ids[64];
    std::snprintf(ids, sizeof ids, "vendor 0x%04X, product 0x%04X", detail.vendorId, detail.productId);
    ctx.Line("path:          " + path);
    ctx.Line(std::string("identity:      ") + ids + (ok ? "" : " (incomplete: GetUsbDeviceDetail returned 0)"));
    ctx.Line("manufacturer:  \"" + text(detail.manufacturer) + "\"");
    ctx.Line("product:       \"" + text(detail.product) + "\"");
    ctx.Line("serial number: \"" + text(detail.serialNumber) + "\"");
    ctx.json.Field("path", path)
        .Key("identity")
        .BeginObject()
        .Field("complete", ok)
        .Field("vendor_id", detail.vendorId)
        .Field("product_id", detail.productId)
        .Field("manufacturer", text(detail.manufacturer))
        .Field("product", text(detail.product))
        .Field("serial", text(detail.serialNumber))
        .EndObject();
    ctx.lwu->FreeUsbDeviceDetail(&detail);
}

void Protocol(Context& ctx, Device& device) {
    uint8_t version = 0;
    // The handshake's own request: its answer is what OpenDevice stored.
    uint32_t status = ctx.lwu->ControlRead(device.handle(), 2, 1, 0x81, 0, 0, &version, 1);
    ctx.json.Key("protocol").BeginObject();
    if (status == 0) {
        ctx.Line("protocol:      version " + std::to_string(version) + " (the answer to request 0x81 of the handshake)");
        ctx.json.Field("version", version);
    } else {
        ctx.Line("protocol:      not set by this device: request 0x81 failed with " +
                 DescribeCode(StatusKind(status), status));
        ctx.json.Key("version").Null().Field("request_status", status);
    }
    ctx.json.EndObject();
}

bool Descriptor(Context& ctx, Device& device) {
    uint8_t bytes[18] = {};
    uint32_t got = 0;
    SetLastError(0);
    if (ctx.lwu->GetDeviceDescriptor(device.handle(), bytes, sizeof bytes, &got) == 0) {
        DWORD error = GetLastError();
        ctx.Fail(FailWith(kExitFailed, "GetDeviceDescriptor failed", CodeKind::Win32, error ? error : ERROR_GEN_FAILURE));
        return false;
    }
    ctx.Line("device descriptor (" + std::to_string(got) + " bytes): " + HexBytes(bytes, got));
    ctx.json.Key("device_descriptor").BeginObject().Field("length_received", got).Field("bytes", HexBytes(bytes, got));
    for (const DescriptorField& f : kDeviceDescriptor) {
        if (f.offset + f.width > static_cast<int>(got)) break;
        const unsigned value = f.width == 1 ? bytes[f.offset] : static_cast<unsigned>(bytes[f.offset] | bytes[f.offset + 1] << 8);
        char line[96];
        if (f.bcd) {
            std::snprintf(line, sizeof line, "  %-20s 0x%04X (%s)", f.name, value, Bcd(static_cast<uint16_t>(value)).c_str());
        } else if (f.width == 2) {
            std::snprintf(line, sizeof line, "  %-20s 0x%04X", f.name, value);
        } else {
            std::snprintf(line, sizeof line, "  %-20s %u (0x%02X)", f.name, value, value);
        }
        ctx.Line(line);
        ctx.json.Field(f.name, value);
    }
    ctx.json.EndObject();
    return true;
}

void Endpoints(Context& ctx, Device& device, EndpointPair& pair) {
    Failure failure;
    const bool ok = device.Endpoints(pair, false, failure);
    ctx.Line(ok ? "endpoints:" : "endpoints:     QueryDeviceEndpoints failed: " + failure.message);
    ctx.json.Key("endpoints").BeginArray();
    const PipeEntry* entries[] = {&pair.in, &pair.out};
    for (const PipeEntry* e : entries) {
        const char* direction = e == &pair.in ? "IN" : "OUT";
        if (e->pipeType == 0) {
            ctx.Line(std::string("  ") + direction + "   none found");
            continue;
        }
        char line[128];
        std::snprintf(line, sizeof line, "  %-4s  %-11s address 0x%02X  packet size %u  interval %u", direction,
                      PipeTypeName(e->pipeType), e->pipeId, e->maxPacketSize, e->interval);
        ctx.Line(line);
        ctx.json.BeginObject()
            .Field("direction", direction)
            .Field("type", PipeTypeName(e->pipeType))
            .Field("address", e->pipeId)
            .Field("max_packet_size", e->maxPacketSize)
            .Field("interval", e->interval)
            .EndObject();
    }
    ctx.json.EndArray();
}

void Timeouts(Context& ctx, Device& device, const EndpointPair& pair) {
    struct Pipe {
        const char* name;
        uint8_t id;
        bool present;
    } pipes[] = {{"IN", pair.in.pipeId, pair.in.pipeType != 0},
                 {"OUT", pair.out.pipeId, pair.out.pipeType != 0},
                 {"control", 0x00, true}};
    ctx.Line("transfer time-outs:");
    ctx.json.Key("timeouts").BeginArray();
    for (const Pipe& p : pipes) {
        if (!p.present) continue;
        uint64_t value = 0;   // room for a pointer, as the library offers WinUSB
        uint32_t status = ctx.lwu->GetTransferTimeoutPolicy(device.handle(), p.id, &value);
        const uint32_t ms = static_cast<uint32_t>(value);
        char line[160];
        if (status == 0) {
            std::snprintf(line, sizeof line, "  %-8s pipe 0x%02X  %u ms%s", p.name, p.id, ms, ms == 0 ? " (none: waits for ever)" : "");
        } else {
            std::snprintf(line, sizeof line, "  %-8s pipe 0x%02X  unreadable: %s", p.name, p.id,
                          DescribeCode(StatusKind(status), status).c_str());
        }
        ctx.Line(line);
        ctx.json.BeginObject().Field("pipe", p.name).Field("address", p.id);
        if (status == 0) {
            ctx.json.Field("timeout_ms", ms);
        } else {
            ctx.json.Key("timeout_ms").Null().Field("status", status);
        }
        ctx.json.EndObject();
    }
    ctx.json.EndArray();
}

int Run(Context& ctx) {
    std::string path;
    if (!DevicePath(ctx, path)) return ctx.failure.exitCode;
    // The identity first: GetUsbDeviceDetail opens the device itself, and a device has one owner.
    Identity(ctx, path);
    Device device(*ctx.lwu);
    Failure failure;
    if (!device.Open(path, failure)) return ctx.Fail(failure);
    Protocol(ctx, device);
    if (!Descriptor(ctx, device)) return ctx.failure.exitCode;
    EndpointPair pair{};
    Endpoints(ctx, device, pair);
    Timeouts(ctx, device, pair);
    device.Close();
    return kExitOk;
}

}  // namespace

const Command& InfoCommand() {
    static const Command command{
        "info", "PATH", "a device's identity, device descriptor, protocol version, endpoints and time-outs",
        "  PATH          a device interface path as list shows it, or a part of one (a serial number,\n"
        "                pid_0101) that names exactly one present interface of the class\n"
        "  --class GUID  the class that a part of a path is looked up in (default: the maker's)\n"
        "Reads the identity (GetUsbDeviceDetail), opens the device (OpenDevice runs the handshake),\n"
        "asks the protocol version again with request 0x81, decodes the device descriptor field by\n"
        "field, and shows the IN and OUT endpoints and the transfer time-outs of their pipes and of\n"
        "the control pipe. Then it closes the device.\n"
        "Example:\n"
        "  VarkoFieldTool info SIM0002\n"
        "  VarkoFieldTool info \"\\\\?\\USB#VID_1209&PID_0101#SIM0002#{8f0a6c3e-5b1d-4c2a-9e7f-3d2b1a0c9e8d}\" --json\n",
        {{"class", true, false}}, 1, 1, Needs::LinkWinUsb, Run};
    return command;
}

}  // namespace fieldtool
