// The parser of scenario files (docs/scenarios.md). It knows nothing of the world: it turns the
// text into a Scenario, or names the first line that is wrong and why.
#include "scenario.h"

#include <algorithm>
#include <set>

namespace sim {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

// Returns the line of the first byte that is not part of well-formed UTF-8, or 0.
int FirstBadUtf8Line(const std::string& s) {
    int line = 1;
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '\n') ++line;
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
        if (extra == 9 || (extra == 1 && c < 0xC2) || (extra == 3 && c > 0xF4) || i + extra >= s.size() + (extra ? 0 : 1))
            return line;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            if ((t >> 6) != 0x2) return line;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return line;
        i += extra + 1;
    }
    return 0;
}

// Splits one line into words and quoted texts; a `#` outside quotes ends it.
bool Tokenize(const std::string& line, std::vector<Token>& out, std::string& error) {
    size_t i = 0;
    auto blank = [&](size_t at) { return line[at] == ' ' || line[at] == '\t'; };
    while (i < line.size()) {
        if (blank(i)) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token t;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                error = "a quoted text has no closing quote";
                return false;
            }
            t.text = line.substr(i + 1, close - i - 1);
            t.quoted = true;
            i = close + 1;
            if (i < line.size() && !blank(i) && line[i] != '#') {
                error = "text right after a closing quote";
                return false;
            }
        } else {
            size_t end = i;
            while (end < line.size() && !blank(end) && line[end] != '#' && line[end] != '"') ++end;
            t.text = line.substr(i, end - i);
            i = end;
            if (i < line.size() && line[i] == '"') {
                error = "a quote inside a word";
                return false;
            }
        }
        out.push_back(std::move(t));
    }
    return true;
}

bool ParseNumber(const std::string& s, uint64_t max, uint64_t& value) {
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    std::string digits = hex ? s.substr(2) : s;
    if (digits.empty() || digits.size() > 16) return false;
    value = 0;
    for (char c : digits) {
        uint64_t d;
        if (c >= '0' && c <= '9') d = static_cast<uint64_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') d = static_cast<uint64_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') d = static_cast<uint64_t>(c - 'A' + 10);
        else return false;
        if (!hex && value > (UINT64_MAX - d) / 10) return false;
        value = value * (hex ? 16 : 10) + d;
    }
    return value <= max;
}

// Whole seconds with up to three decimals kept: "2", "0.5", "1.250".
bool ParseSeconds(const std::string& s, uint32_t& ms) {
    size_t dot = s.find('.');
    std::string whole = s.substr(0, dot);
    std::string part = dot == std::string::npos ? std::string() : s.substr(dot + 1);
    if (whole.empty() || whole.size() > 7 || (dot != std::string::npos && part.empty())) return false;
    auto digitsOnly = [](const std::string& t) {
        return std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digitsOnly(whole) || !digitsOnly(part)) return false;
    uint32_t seconds = static_cast<uint32_t>(std::stoul(whole));
    if (seconds > 1000000) return false;
    part = (part + "000").substr(0, 3);
    ms = seconds * 1000 + static_cast<uint32_t>(std::stoul(part));
    return true;
}

bool ValidName(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool ValidSerial(const std::string& s) {
    return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

// UTF-16 units of UTF-8 text that is known to be well formed.
size_t Utf16Units(const std::string& s) {
    size_t n = 0;
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        if ((b >> 6) != 0x2) n += (b >> 3) == 0x1E ? 2 : 1;
    }
    return n;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

const std::set<std::string>& DeviceKeys() {
    static const std::set<std::string> keys = {
        "vid", "pid", "serial", "protocol", "handshake", "echo", "status", "manufacturer", "product", "pipe",
        "zero-length-packet", "strings-need-language", "initialize-error", "present", "unplug-after-messages"};
    return keys;
}

class Parser {
public:
    Parser(Scenario& out, ScenarioError& error) : out_(out), error_(error) {}

    bool Line(int number, const std::vector<Token>& words) {
        line_ = number;
        if (words.empty()) return true;
        if (words[0].quoted) return Fail("a statement starts with a key, not a quoted text");
        const std::string& key = words[0].text;
        std::vector<std::string> values;
        for (size_t i = 1; i < words.size(); ++i) values.push_back(words[i].text);
        if (device_) return InDevice(key, values);
        if (key == "device") return StartDevice(values);
        if (key == "at") return Event(values);
        if (key == "end") return Fail("\"end\" without a device block");
        if (DeviceKeys().count(key)) return Fail(Quoted(key) + " belongs inside a device block");
        return Fail("unknown key " + Quoted(key));
    }

    bool Finish() {
        if (device_) {
            line_ = device_->line;
            return Fail("device " + Quoted(device_->name) + " has no end");
        }
        for (const ScenarioEvent& e : out_.events) {
            bool known = std::any_of(out_.devices.begin(), out_.devices.end(),
                                     [&](const ScenarioDevice& d) { return d.name == e.device; });
            if (!known) {
                line_ = e.line;
                return Fail("at: no device " + Quoted(e.device));
            }
        }
        std::stable_sort(out_.events.begin(), out_.events.end(),
                         [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.atMs < b.atMs; });
        return true;
    }

private:
    bool Fail(const std::string& text) {
        error_.line = line_;
        error_.text = text;
        return false;
    }

    bool Count(const std::string& key, const std::vector<std::string>& values, size_t least, size_t most) {
        if (values.size() >= least && values.size() <= most) return true;
        std::string wanted = least == 0 && most == 0 ? "no value"
                             : least == most          ? std::to_string(least) + (least == 1 ? " value" : " values")
                                                      : std::to_string(least) + " or " + std::to_string(most) + " values";
        Fail(key + " takes " + wanted);
        return false;
    }

    bool Number(const std::string& key, const std::string& v, uint64_t least, uint64_t most, const char* range,
                uint64_t& value) {
        if (ParseNumber(v, most, value) && value >= least) return true;
        Fail(key + ": " + Quoted(v) + " is not a number from " + range);
        return false;
    }

    bool YesNo(const std::string& key, const std::string& v, uint8_t& flag) {
        if (v == "yes" || v == "no") {
            flag = v == "yes" ? 1 : 0;
            return true;
        }
        Fail(key + ": " + Quoted(v) + " is not yes or no");
        return false;
    }

    bool StartDevice(const std::vector<std::string>& values) {
        if (values.empty()) return Fail("device needs a name");
        if (!Count("device", values, 1, 1)) return false;
        const std::string& name = values[0];
        if (!ValidName(name)) return Fail("device name " + Quoted(name) + " is not made of a-z, 0-9 and -");
        for (const ScenarioDevice& d : out_.devices) {
            if (d.name == name) {
                return Fail("device " + Quoted(name) + " is defined twice (first at line " + std::to_string(d.line) +
                            ")");
            }
        }
        ScenarioDevice d;
        d.name = name;
        d.line = line_;
        SimWorld_DefaultConfig(&d.config);
        d.config.echo = 1;
        out_.devices.push_back(std::move(d));
        device_ = &out_.devices.back();
        keysSet_.clear();
        return true;
    }

    bool EndDevice() {
        ScenarioDevice& d = *device_;
        if (!d.serial.empty()) {
            for (const ScenarioDevice& other : out_.devices) {
                if (&other == &d || other.serial != d.serial || other.config.vendorId != d.config.vendorId ||
                    other.config.productId != d.config.productId)
                    continue;
                line_ = d.line;
                return Fail("device " + Quoted(d.name) + " has the interface path of device " + Quoted(other.name) +
                            " (the same vid, pid and serial)");
            }
        }
        device_ = nullptr;
        return true;
    }

    bool InDevice(const std::string& key, const std::vector<std::string>& values) {
        if (key == "end") return Count("end", values, 0, 0) && EndDevice();
        if (key == "device" || key == "at") {
            return Fail(Quoted(key) + " inside device " + Quoted(device_->name) + " (its end is missing)");
        }
        if (!DeviceKeys().count(key)) return Fail("unknown key " + Quoted(key));
        if (key == "pipe") return Pipe(values);
        if (!keysSet_.insert(key).second) return Fail(key + " is given twice in device " + Quoted(device_->name));
        if (!Count(key, values, 1, 1)) return false;
        const std::string& v = values[0];
        SimUsbDeviceConfig& c = device_->config;
        uint64_t n = 0;
        if (key == "vid" || key == "pid") {
            if (!Number(key, v, 0, 0xFFFF, "0 to 0xffff", n)) return false;
            (key == "vid" ? c.vendorId : c.productId) = static_cast<uint16_t>(n);
        } else if (key == "serial") {
            if (!ValidSerial(v)) return Fail("serial: " + Quoted(v) + " is not 1 to 64 letters, digits, '.', '_' or '-'");
            device_->serial = v;
        } else if (key == "protocol") {
            if (v != "0" && v != "1" && v != "2") return Fail("protocol: " + Quoted(v) + " is not 0, 1 or 2");
            c.protocolVersion = static_cast<uint8_t>(v[0] - '0');
        } else if (key == "handshake") {
            return YesNo(key, v, c.answersHandshake);
        } else if (key == "echo") {
            return YesNo(key, v, c.echo);
        } else if (key == "zero-length-packet") {
            return YesNo(key, v, c.zeroLengthPacket);
        } else if (key == "strings-need-language") {
            return YesNo(key, v, c.stringsNeedLanguage);
        } else if (key == "present") {
            uint8_t present = 0;
            if (!YesNo(key, v, present)) return false;
            device_->present = present != 0;
        } else if (key == "status") {
            if (!Number(key, v, 0, 0xFF, "0 to 0xff", n)) return false;
            c.statusByte = static_cast<uint8_t>(n);
        } else if (key == "initialize-error") {
            if (!Number(key, v, 0, 0xFFFFFFFF, "0 to 0xffffffff", n)) return false;
            c.winusbError = static_cast<uint32_t>(n);
        } else if (key == "unplug-after-messages") {
            if (!Number(key, v, 1, 0xFFFFFFFF, "1 to 4294967295", n)) return false;
            device_->unplugAfterMessages = static_cast<uint32_t>(n);
        } else {   // manufacturer, product: string descriptors hold at most 126 UTF-16 units
            if (Utf16Units(v) > 126) return Fail(key + ": longer than 126 characters");
            bool manufacturer = key == "manufacturer";
            (manufacturer ? device_->hasManufacturer : device_->hasProduct) = true;
            (manufacturer ? device_->manufacturer : device_->product) = v;
        }
        return true;
    }

    bool Pipe(const std::vector<std::string>& values) {
        if (!Count("pipe", values, 3, 4)) return false;
        SimUsbDeviceConfig& c = device_->config;
        if (c.pipeCount == SIM_MAX_PIPES) return Fail("more than " + std::to_string(SIM_MAX_PIPES) + " pipes");
        SimPipe p{};
        if (values[0] == "bulk") p.type = 2;
        else if (values[0] == "interrupt") p.type = 3;
        else return Fail("pipe: " + Quoted(values[0]) + " is not bulk or interrupt");
        uint64_t n = 0;
        bool address = ParseNumber(values[1], 0xFF, n) && (n & 0x70) == 0 && (n & 0x0F) != 0;
        if (!address) return Fail("pipe: " + Quoted(values[1]) + " is not an endpoint address (0x01-0x0f, 0x81-0x8f)");
        p.pipeId = static_cast<uint8_t>(n);
        for (uint32_t i = 0; i < c.pipeCount; ++i) {
            if (c.pipes[i].pipeId == p.pipeId) return Fail("pipe " + values[1] + " is given twice");
        }
        if (!ParseNumber(values[2], 1024, n) || n == 0) {
            return Fail("pipe: " + Quoted(values[2]) + " is not a packet size from 1 to 1024");
        }
        p.maxPacketSize = static_cast<uint16_t>(n);
        if (values.size() == 4) {
            if (!ParseNumber(values[3], 255, n)) return Fail("pipe: " + Quoted(values[3]) + " is not an interval from 0 to 255");
            p.interval = static_cast<uint8_t>(n);
        }
        c.pipes[c.pipeCount++] = p;
        return true;
    }

    bool Event(const std::vector<std::string>& values) {
        if (!Count("at", values, 3, 3)) return false;
        ScenarioEvent e;
        e.line = line_;
        if (!ParseSeconds(values[0], e.atMs)) return Fail("at: " + Quoted(values[0]) + " is not a time in seconds (like 2 or 0.5)");
        if (values[1] != "plug" && values[1] != "unplug") return Fail("at: " + Quoted(values[1]) + " is not plug or unplug");
        e.plug = values[1] == "plug";
        e.device = values[2];
        out_.events.push_back(std::move(e));
        return true;
    }

    Scenario& out_;
    ScenarioError& error_;
    ScenarioDevice* device_ = nullptr;   // the open block (out_.devices does not grow while it is open)
    std::set<std::string> keysSet_;
    int line_ = 0;
};

}  // namespace

bool ParseScenario(const std::string& input, Scenario& out, ScenarioError& error) {
    out = Scenario{};
    error = ScenarioError{};
    std::string text = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
    if (int bad = FirstBadUtf8Line(text)) {
        error.line = bad;
        error.text = "not UTF-8 text";
        return false;
    }
    Parser parser(out, error);
    int number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<Token> words;
        std::string problem;
        if (!Tokenize(line, words, problem)) {
            error.line = number;
            error.text = problem;
            return false;
        }
        if (!parser.Line(number, words)) return false;
    }
    return parser.Finish();
}

}  // namespace sim
