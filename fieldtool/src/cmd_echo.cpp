// echo: framed messages (Write, then Read of the echo) to a device that echoes them, each checked
// byte for byte; the round trips' latency and the throughput at the end.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "commands.h"
#include "device.h"
#include "interrupt.h"

namespace fieldtool {

namespace {

constexpr uint32_t kShortPacketTerminate = 0x01;   // the WinUSB pipe policy SHORT_PACKET_TERMINATE

class Stopwatch {
public:
    Stopwatch() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    double Seconds() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

// Message n: "VFTE", the sequence number (little-endian), then a pattern with zero bytes in it,
// as real data has. Only the sequence number changes from one message to the next.
void Stamp(std::vector<uint8_t>& message, uint32_t sequence) {
    static const uint8_t kMagic[4] = {'V', 'F', 'T', 'E'};
    uint8_t header[8];
    std::memcpy(header, kMagic, 4);
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    std::memcpy(message.data(), header, std::min<size_t>(sizeof header, message.size()));
}

void FillPattern(std::vector<uint8_t>& message) {
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
}

double Percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    // Nearest rank.
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

std::string Ms(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", seconds * 1000);
    return text;
}

// The results so far, as text and into the JSON document.
void Summary(Context& ctx, std::vector<double> latencies, uint32_t size, double elapsed) {
    std::sort(latencies.begin(), latencies.end());
    const size_t n = latencies.size();
    const double perSecond = elapsed > 0 ? static_cast<double>(n) / elapsed : 0;
    const double bytesPerSecond = perSecond * size;
    if (n) {
        ctx.Line("round trip: min " + Ms(latencies.front()) + ", median " + Ms(Percentile(latencies, 0.5)) + ", p99 " +
                 Ms(Percentile(latencies, 0.99)) + ", max " + Ms(latencies.back()));
        char line[128];
        std::snprintf(line, sizeof line, "throughput: %.1f messages/s, %.2f MB/s each way (%.3f s)", perSecond,
                      bytesPerSecond / 1e6, elapsed);
        ctx.Line(line);
    }
    ctx.json.Field("matched", n).Key("latency_ms").BeginObject();
    if (n) {
        ctx.json.Field("min", latencies.front() * 1000)
            .Field("median", Percentile(latencies, 0.5) * 1000)
            .Field("p99", Percentile(latencies, 0.99) * 1000)
            .Field("max", latencies.back() * 1000);
    }
    ctx.json.EndObject()
        .Key("throughput")
        .BeginObject()
        .Field("messages_per_s", perSecond)
        .Field("bytes_per_s", bytesPerSecond)
        .EndObject()
        .Field("elapsed_s", elapsed);
}

// The failure of message `index`, with what the device answers now.
Failure TransferFailure(Device& device, uint32_t index, uint32_t count, const std::string& call, CodeKind kind,
                        uint32_t result) {
    const std::string what = "message " + std::to_string(index + 1) + " of " + std::to_string(count) + ": " + call;
    const uint32_t probe = device.Probe();
    if (probe != 0) {
        Failure f = FailWith(kExitFailed, what + " failed; a control request to the device then failed",
                             StatusKind(probe), probe);
        return f;
    }
    if (kind == CodeKind::None) return Fail(kExitFailed, what + " failed; the device still answers");
    return FailWith(kExitFailed, what + " failed", kind, result);
}

int Run(Context& ctx) {
    std::string path;
    if (!DevicePath(ctx, path)) return ctx.failure.exitCode;
    uint64_t size = 0, count = 0, timeout = 0;
    std::string error;
    if (!OptionNumber(ctx.args, "size", 1024, 1, LWU_MAX_MESSAGE, size, error) ||
        !OptionNumber(ctx.args, "count", 100, 1, 100000000, count, error) ||
        !OptionNumber(ctx.args, "timeout", 2000, 1, 3600000, timeout, error))
        return ctx.Usage(error);
    const LinkWinUsbApi& lwu = *ctx.lwu;
    Device device(lwu);
    OnInterrupt abort([&device] { device.AbortPipes(); });
    Failure failure;
    if (!device.Open(path, failure)) return ctx.Fail(failure);
    EndpointPair pair{};
    if (!device.Endpoints(pair, true, failure)) return ctx.Fail(failure);
    void* h = device.handle();
    // A device that stops answering ends a transfer after the time-out instead of never.
    for (uint8_t pipe : {pair.out.pipeId, pair.in.pipeId}) {
        uint32_t status = lwu.SetTransferTimeoutPolicy(h, pipe, static_cast<uint32_t>(timeout));
        if (status != 0) return ctx.Fail(FailStatus("SetTransferTimeoutPolicy of pipe " + Hex(pipe, 2) + " failed", status));
    }
    // Version 2 announces no length: the device ends a message at a short or zero-length packet,
    // and WinUSB sends a zero-length one after whole packets only when asked to.
    uint8_t version = 0;
    const bool terminate = lwu.ControlRead(h, 2, 1, 0x81, 0, 0, &version, 1) == 0 && version >= 2;
    if (terminate) {
        UCHAR on = TRUE;
        uint32_t status = lwu.SetPipePolicy(h, pair.out.pipeId, kShortPacketTerminate, sizeof on, &on);
        if (status != 0) return ctx.Fail(FailStatus("SetPipePolicy SHORT_PACKET_TERMINATE of pipe " + Hex(pair.out.pipeId, 2) + " failed", status));
    }

    ctx.json.Field("path", path).Field("size", size).Field("count", count).Field("zero_length_packets", terminate);
    ctx.Line("echo: " + std::to_string(count) + " messages of " + std::to_string(size) + " bytes, OUT pipe " +
             Hex(pair.out.pipeId, 2) + ", IN pipe " + Hex(pair.in.pipeId, 2));
    std::vector<uint8_t> message(size);
    FillPattern(message);
    std::vector<uint8_t> echoed(LWU_MAX_MESSAGE);   // Read copies as many bytes as the device announced
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(std::min<uint64_t>(count, 10000000)));
    const Stopwatch clock;
    double lastProgress = 0;
    int result = kExitOk;
    const char* ended = "done";
    for (uint32_t i = 0; i < count; ++i) {
        if (Interrupts::Requested()) {
            ended = "interrupted";
            result = kExitInterrupted;
            break;
        }
        Stamp(message, i + 1);
        const double t0 = clock.Seconds();
        if (lwu.Write(h, pair.out.pipeId, message.data(), static_cast<uint32_t>(size)) != 1) {
            if (Interrupts::Requested()) continue;   // aborted: the loop's head ends it
            result = ctx.Fail(TransferFailure(device, i, static_cast<uint32_t>(count), "Write", CodeKind::None, 0));
            ended = "failed";
            break;
        }
        uint32_t got = 0;
        uint32_t read = lwu.Read(h, pair.in.pipeId, echoed.data(), &got);
        // The device may take its time to queue the echo: ask again until the time-out.
        const double giveUp = t0 + static_cast<double>(timeout) / 1000.0;
        while (read == LWU_READ_EMPTY && !Interrupts::Requested() && clock.Seconds() < giveUp) {
            Sleep(1);
            read = lwu.Read(h, pair.in.pipeId, echoed.data(), &got);
        }
        if (read == LWU_READ_EMPTY) {
            if (Interrupts::Requested()) continue;
            result = ctx.Fail(Fail(kExitMismatch, "message " + std::to_string(i + 1) + ": the device did not echo it within " +
                                                      std::to_string(timeout) + " ms (Read kept returning LWU_READ_EMPTY 0)"));
            ended = "failed";
            break;
        }
        if (read != LWU_READ_OK) {
            if (Interrupts::Requested()) continue;
            result = ctx.Fail(TransferFailure(device, i, static_cast<uint32_t>(count), "Read", CodeKind::ReadResult, read));
            ended = "failed";
            break;
        }
        const double t1 = clock.Seconds();
        if (got != size || std::memcmp(echoed.data(), message.data(), size) != 0) {
            size_t at = 0;
            while (at < std::min<size_t>(got, size) && echoed[at] == message[at]) ++at;
            result = ctx.Fail(Fail(kExitMismatch, "message " + std::to_string(i + 1) + ": the echo differs: " +
                                                      std::to_string(got) + " bytes came back for " + std::to_string(size) +
                                                      ", first difference at byte " + std::to_string(at)));
            ended = "failed";
            break;
        }
        latencies.push_back(t1 - t0);
        if ((i & 1023) == 1023) ctx.out.SyncLibraryLines();   // the library's lines of a long run go on
        if (ctx.out.OutIsConsole() && !ctx.jsonMode && t1 - lastProgress >= 0.1) {
            lastProgress = t1;
            char line[96];
            std::snprintf(line, sizeof line, "  %u/%u messages, %.2f MB/s", i + 1, static_cast<unsigned>(count),
                          static_cast<double>(i + 1) * static_cast<double>(size) / t1 / 1e6);
            ctx.out.Progress(line);
        }
    }
    const double elapsed = clock.Seconds();
    ctx.out.ClearProgress();
    device.Close();
    if (result == kExitOk) {
        ctx.Line("all " + std::to_string(count) + " echoes matched byte for byte");
    } else if (result == kExitInterrupted) {
        ctx.Line(std::string("interrupted (") + Interrupts::Which() + ") after " + std::to_string(latencies.size()) +
                 " of " + std::to_string(count) + " messages; device closed");
        ctx.Fail(Fail(kExitInterrupted, std::string("interrupted by ") + Interrupts::Which() + " after " +
                                            std::to_string(latencies.size()) + " of " + std::to_string(count) + " messages"));
    }
    Summary(ctx, latencies, static_cast<uint32_t>(size), elapsed);
    ctx.json.Field("ended", ended).Field("device_closed", true);
    return result;
}

}  // namespace

const Command& EchoCommand() {
    static const Command command{
        "echo", "PATH [--size N] [--count N] [--timeout MS]",
        "framed messages to an echoing device, checked byte for byte; latency and throughput",
        "  PATH          a device interface path as list shows it, or a part of one (a serial number,\n"
        "                pid_0101) that names exactly one present interface of the class\n"
        "  --class GUID  the class that a part of a path is looked up in (default: the maker's)\n"
        "  --size N      bytes per message, 1 to 4096000 (default 1024)\n"
        "  --count N     messages (default 100)\n"
        "  --timeout MS  transfer time-out of the bulk pipes, and how long to wait for an echo\n"
        "                (default 2000)\n"
        "Each message goes out with Write and comes back with Read; the echo must match byte for\n"
        "byte. At the end: the round trip's min, median, 99th percentile and max, and the\n"
        "throughput. A progress line shows while standard output is a console. Ctrl+C aborts\n"
        "the transfers, closes the device and reports what was done (exit code 130).\n"
        "Example:\n"
        "  VarkoFieldTool echo SIM0001 --size 65536 --count 1000\n",
        {{"size", true, false}, {"count", true, false}, {"timeout", true, false}, {"class", true, false}},
        1, 1, Needs::LinkWinUsb, Run};
    return command;
}

}  // namespace fieldtool
