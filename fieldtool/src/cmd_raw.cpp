// raw: one control request or one pipe transfer, the bytes shown as hexadecimal.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "device.h"
#include "interrupt.h"

namespace fieldtool {

namespace {

struct Name {
    const char* text;
    uint8_t value;
};
const Name kTypes[] = {{"standard", 0}, {"class", 1}, {"vendor", 2}};
const Name kRecipients[] = {{"device", 0}, {"interface", 1}, {"endpoint", 2}, {"other", 3}};

template <size_t N>
bool Named(const Args& args, const char* option, const Name (&names)[N], uint8_t fallback, uint8_t& value,
           std::string& error) {
    if (!args.Has(option)) {
        value = fallback;
        return true;
    }
    const std::string text = args.Value(option);
    for (const Name& n : names) {
        if (text == n.text) {
            value = n.value;
            return true;
        }
    }
    uint64_t number = 0;
    if (!ParseNumber(text, 0, 31, (std::string("--") + option).c_str(), number, error)) return false;
    value = static_cast<uint8_t>(number);
    return true;
}

void Bytes(Context& ctx, const char* label, const uint8_t* bytes, size_t count) {
    ctx.Line(std::string(label) + " (" + std::to_string(count) + " bytes): " + (count ? HexBytes(bytes, count) : "none"));
    ctx.json.Field("bytes", HexBytes(bytes, count)).Field("length", count);
}

int Control(Context& ctx, Device& device, const std::string& direction) {
    if (direction != "in" && direction != "out") return ctx.Usage("control takes in or out, not '" + direction + "'");
    const bool in = direction == "in";
    std::string error;
    uint8_t type = 0, recipient = 0;
    uint64_t request = 0, value = 0, index = 0, length = 0;
    if (!ctx.args.Has("request")) return ctx.Usage("control needs --request N");
    std::vector<uint8_t> data;
    if (!Named(ctx.args, "type", kTypes, 2, type, error) || !Named(ctx.args, "recipient", kRecipients, 1, recipient, error) ||
        !OptionNumber(ctx.args, "request", 0, 0, 255, request, error) ||
        !OptionNumber(ctx.args, "value", 0, 0, 0xFFFF, value, error) ||
        !OptionNumber(ctx.args, "index", 0, 0, 0xFFFF, index, error) ||
        (in && !OptionNumber(ctx.args, "length", 0, 0, 0xFFFF, length, error)) ||
        (!in && !ParseHexBytes(ctx.args.Value("data"), data, error)))
        return ctx.Usage(error);
    if (in && !ctx.args.Has("length")) return ctx.Usage("control in needs --length N");
    if (!in && ctx.args.Has("length")) return ctx.Usage("control out takes its length from --data");
    if (!in && data.size() > 0xFFFF) return ctx.Usage("--data holds more than 65535 bytes");
    if (in) data.assign(static_cast<size_t>(length), 0);
    const uint8_t requestType = static_cast<uint8_t>((((in ? 1 : 0) << 2 | type) << 5) | recipient);
    ctx.json.Field("operation", "control").Field("direction", direction).Field("request_type", requestType)
        .Field("request", request).Field("value", value).Field("index", index);
    const uint32_t status =
        (in ? ctx.lwu->ControlRead : ctx.lwu->ControlWrite)(device.handle(), type, recipient, static_cast<uint8_t>(request),
                                                            static_cast<uint16_t>(value), static_cast<uint16_t>(index),
                                                            data.empty() ? nullptr : data.data(),
                                                            static_cast<uint16_t>(data.size()));
    char setup[96];
    std::snprintf(setup, sizeof setup, "setup: bmRequestType 0x%02X, bRequest 0x%02X, wValue 0x%04X, wIndex 0x%04X, wLength %u",
                  requestType, static_cast<unsigned>(request), static_cast<unsigned>(value), static_cast<unsigned>(index),
                  static_cast<unsigned>(data.size()));
    ctx.Line(setup);
    ctx.json.Field("status", status);
    if (status != 0) {
        return ctx.Fail(FailStatus(std::string(in ? "ControlRead" : "ControlWrite") + " of request " +
                                       Hex(static_cast<uint32_t>(request), 2) + " failed",
                                   status));
    }
    Bytes(ctx, in ? "received" : "sent", data.data(), data.size());
    return kExitOk;
}

int Pipe(Context& ctx, Device& device, const std::string& operation, const std::string& pipeText) {
    std::string error;
    uint64_t pipe = 0, length = 0, timeout = 0;
    std::vector<uint8_t> data;
    const bool read = operation == "read";
    if (!ParseNumber(pipeText, 1, 255, "PIPE", pipe, error) ||
        !OptionNumber(ctx.args, "timeout", 2000, 1, 3600000, timeout, error) ||
        (read && !OptionNumber(ctx.args, "length", 0, 1, LWU_MAX_MESSAGE, length, error)) ||
        (!read && !ParseHexBytes(ctx.args.Value("data"), data, error)))
        return ctx.Usage(error);
    if (read && !ctx.args.Has("length")) return ctx.Usage("read needs --length N");
    if (!read && data.empty()) return ctx.Usage("write needs --data HEX with at least one byte");
    const uint8_t id = static_cast<uint8_t>(pipe);
    if (read != ((id & 0x80) != 0))
        return ctx.Usage(std::string("pipe ") + Hex(id, 2) + " is an " + ((id & 0x80) ? "IN" : "OUT") + " pipe: use " +
                         ((id & 0x80) ? "read" : "write"));
    device.AddAbortPipe(id);
    uint32_t status = ctx.lwu->SetTransferTimeoutPolicy(device.handle(), id, static_cast<uint32_t>(timeout));
    if (status != 0) return ctx.Fail(FailStatus("SetTransferTimeoutPolicy of pipe " + Hex(id, 2) + " failed", status));
    if (read) data.assign(static_cast<size_t>(length), 0);
    uint32_t transferred = 0;
    ctx.json.Field("operation", operation).Field("pipe", id).Field("timeout_ms", timeout);
    status = read ? ctx.lwu->PipeRead(device.handle(), id, data.data(), static_cast<uint32_t>(data.size()), &transferred, nullptr)
                  : ctx.lwu->PipeWrite(device.handle(), id, data.data(), static_cast<uint32_t>(data.size()), &transferred,
                                       nullptr);
    ctx.json.Field("status", status).Field("transferred", transferred);
    if (status != 0) {
        if (Interrupts::Requested())
            return ctx.Fail(Fail(kExitInterrupted, std::string("interrupted by ") + Interrupts::Which() + ": the transfer was aborted"));
        return ctx.Fail(FailStatus(std::string(read ? "PipeRead" : "PipeWrite") + " of pipe " + Hex(id, 2) + " failed", status));
    }
    Bytes(ctx, read ? "received" : "sent", data.data(), read ? transferred : data.size());
    if (!read && transferred != data.size()) ctx.Line("only " + std::to_string(transferred) + " bytes were transferred");
    return kExitOk;
}

int Run(Context& ctx) {
    const std::vector<std::string>& p = ctx.args.positionals();
    const std::string operation = p[1];
    if (operation == "control") {
        if (p.size() != 3) return ctx.Usage("raw PATH control in|out --request N ...");
    } else if (operation == "read" || operation == "write") {
        if (p.size() != 3) return ctx.Usage("raw PATH " + operation + " PIPE ...");
    } else {
        return ctx.Usage("raw takes control, read or write, not '" + operation + "'");
    }
    std::string path;
    if (!DevicePath(ctx, path)) return ctx.failure.exitCode;
    Device device(*ctx.lwu);
    OnInterrupt abort([&device] { device.AbortPipes(); });
    Failure failure;
    if (!device.Open(path, failure)) return ctx.Fail(failure);
    ctx.json.Field("path", path);
    const int result = operation == "control" ? Control(ctx, device, p[2]) : Pipe(ctx, device, operation, p[2]);
    device.Close();
    return result;
}

}  // namespace

const Command& RawCommand() {
    static const Command command{
        "raw", "PATH control in|out --request N [...] | PATH read PIPE --length N | PATH write PIPE --data HEX",
        "one control request or one pipe transfer, the bytes shown as hexadecimal",
        "  control in|out   ControlRead or ControlWrite with\n"
        "    --request N      bRequest (required)\n"
        "    --type T         standard, class, vendor (default) or a number\n"
        "    --recipient R    device, interface (default), endpoint, other or a number\n"
        "    --value N        wValue (default 0)\n"
        "    --index N        wIndex (default 0)\n"
        "    --length N       in: bytes to read (required)\n"
        "    --data HEX       out: the bytes to send, e.g. 0a0b0c or \"0a 0b 0c\"\n"
        "  read PIPE --length N    PipeRead of an IN pipe (0x81 ...)\n"
        "  write PIPE --data HEX   PipeWrite to an OUT pipe (0x01 ...)\n"
        "    --timeout MS     the pipe's transfer time-out (default 2000)\n"
        "PATH is a device interface path or a part of one, as for info (--class GUID).\n"
        "Numbers are decimal or 0x-prefixed hexadecimal. Ctrl+C aborts a waiting transfer.\n"
        "Example:\n"
        "  VarkoFieldTool raw SIM0003 control in --request 0x81 --length 1\n"
        "  VarkoFieldTool raw SIM0003 write 0x01 --data 68656c6c6f\n"
        "  VarkoFieldTool raw SIM0003 read 0x81 --length 5\n",
        {{"request", true, false}, {"type", true, false}, {"recipient", true, false}, {"value", true, false},
         {"index", true, false}, {"length", true, false}, {"data", true, false}, {"timeout", true, false}, {"class", true, false}},
        2, 3, Needs::LinkWinUsb, Run};
    return command;
}

}  // namespace fieldtool
