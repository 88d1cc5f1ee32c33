#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fw {

namespace {

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > limit) return false;
    value = v;
    return true;
}

bool ParseFault(const std::string& fault, Options& o, std::string& error) {
    std::string name = fault, arg;
    size_t eq = fault.find('=');
    if (eq != std::string::npos) {
        name = fault.substr(0, eq);
        arg = fault.substr(eq + 1);
    }
    uint64_t v = 0;
    auto bad = [&]() {
        error = "bad fault argument: " + fault;
        return false;
    };
    if (name == "stall-request") {
        if (!ParseNumber(arg, 0xFF, v)) return bad();
        o.stalledRequests.push_back(static_cast<uint8_t>(v));
    } else if (name == "halt-in" && arg.empty()) {
        o.haltIn = true;
    } else if (name == "halt-out" && arg.empty()) {
        o.haltOut = true;
    } else if (name == "short-packets") {
        if (!ParseNumber(arg, 511, v) || v == 0) return bad();
        o.shortPackets = static_cast<uint32_t>(v);
    } else if (name == "no-zlp" && arg.empty()) {
        o.noZlp = true;
    } else if (name == "extra-zlp" && arg.empty()) {
        o.extraZlp = true;
    } else if (name == "delay-ms") {
        if (!ParseNumber(arg, 600000, v)) return bad();
        o.bulkDelayMs = static_cast<uint32_t>(v);
    } else if (name == "delay-request") {
        size_t colon = arg.find(':');
        uint64_t ms = 0;
        if (colon == std::string::npos || !ParseNumber(arg.substr(0, colon), 0xFF, v) ||
            !ParseNumber(arg.substr(colon + 1), 600000, ms))
            return bad();
        o.delayedRequest = static_cast<uint8_t>(v);
        o.requestDelayMs = static_cast<uint32_t>(ms);
    } else if (name == "strings-need-language" && arg.empty()) {
        o.stringsNeedLanguage = true;
    } else if (name == "unplug-after-bytes") {
        if (!ParseNumber(arg, UINT32_MAX, v) || v == 0) return bad();
        o.unplugAfterBytes = v;
    } else {
        error = "unknown fault: " + fault;
        return false;
    }
    return true;
}

}  // namespace

bool Options::Stalls(uint8_t request) const {
    return std::find(stalledRequests.begin(), stalledRequests.end(), request) != stalledRequests.end();
}

const char* Usage() {
    return "usage: varko-fw [--ffs DIR] [--udc-file PATH] [--protocol N] [--status-byte N]\n"
           "                [--identity 0xHEX] [--no-echo] [--quiet] [--fault F]...\n"
           "faults: stall-request=0xRR | halt-in | halt-out | short-packets=N | no-zlp | extra-zlp |\n"
           "        delay-ms=N | delay-request=0xRR:N | strings-need-language | unplug-after-bytes=N\n";
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = a + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        uint64_t n = 0;
        if (a == "--ffs") {
            if (!value(o.ffsDir)) return false;
        } else if (a == "--udc-file") {
            if (!value(o.udcFile)) return false;
        } else if (a == "--protocol" || a == "--status-byte") {
            if (!value(v) || !ParseNumber(v, 0xFF, n)) {
                error = "bad value for " + a;
                return false;
            }
            (a == "--protocol" ? o.protocolVersion : o.statusByte) = static_cast<uint8_t>(n);
        } else if (a == "--identity") {
            if (!value(v) || !ParseNumber(v, UINT32_MAX, n)) {
                error = "bad value for --identity";
                return false;
            }
            o.identity = static_cast<uint32_t>(n);
        } else if (a == "--no-echo") {
            o.echo = false;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--fault") {
            if (!value(v) || !ParseFault(v, o, error)) return false;
        } else {
            error = "unknown argument: " + a;
            return false;
        }
    }
    if (o.unplugAfterBytes && o.udcFile.empty()) {
        error = "unplug-after-bytes needs --udc-file";
        return false;
    }
    return true;
}

}  // namespace fw
