#include "args.h"

#include <cctype>
#include <cstdio>

namespace fieldtool {

namespace {

const OptionSpec kCommon[] = {{"json", false, false}, {"quiet", false, false}, {"help", false, false}};

const OptionSpec* FindSpec(const std::string& name, const std::vector<OptionSpec>& specs) {
    for (const OptionSpec& s : kCommon)
        if (name == s.name) return &s;
    for (const OptionSpec& s : specs)
        if (name == s.name) return &s;
    return nullptr;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool Args::Parse(int argc, char** argv, int start, const std::vector<OptionSpec>& specs, std::string& error) {
    for (int i = start; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h") arg = "--help";
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            positionals_.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        const OptionSpec* spec = FindSpec(name, specs);
        if (!spec) {
            error = "unknown option --" + name;
            return false;
        }
        if (spec->takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                error = "option --" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!spec->takesValue && inlineValue) {
            error = "option --" + name + " takes no value";
            return false;
        }
        if (values_.count(name) && !spec->repeatable) {
            error = "option --" + name + " is given twice";
            return false;
        }
        values_[name].push_back(value);
    }
    return true;
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second.back();
}

std::vector<std::string> Args::Values(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>() : it->second;
}

bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, const char* what, uint64_t& value,
                 std::string& error) {
    uint64_t v = 0;
    size_t at = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    bool ok = at < text.size();
    for (; ok && at < text.size(); ++at) {
        int d = HexDigit(text[at]);
        if (d < 0 || static_cast<unsigned>(d) >= base || v > (UINT64_MAX - static_cast<unsigned>(d)) / base) {
            ok = false;
            break;
        }
        v = v * base + static_cast<unsigned>(d);
    }
    if (!ok || v < min || v > max) {
        error = std::string(what) + " must be a number from " + std::to_string(min) + " to " + std::to_string(max) +
                ", not '" + text + "'";
        return false;
    }
    value = v;
    return true;
}

bool OptionNumber(const Args& args, const char* name, uint64_t fallback, uint64_t min, uint64_t max,
                  uint64_t& value, std::string& error) {
    if (!args.Has(name)) {
        value = fallback;
        return true;
    }
    return ParseNumber(args.Value(name), min, max, (std::string("--") + name).c_str(), value, error);
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes, std::string& error) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') {
            if (high >= 0) {
                error = "hexadecimal bytes come in pairs of digits: '" + text + "'";
                return false;
            }
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) {
            error = "not a hexadecimal digit: '" + std::string(1, c) + "' in '" + text + "'";
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "hexadecimal bytes come in pairs of digits: '" + text + "'";
        return false;
    }
    return true;
}

bool IsGuidText(const std::string& text) {
    static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != sizeof kShape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] == 'x' ? HexDigit(text[i]) < 0 : text[i] != kShape[i]) return false;
    }
    return true;
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        if (i) text += ' ';
        text += two;
    }
    return text;
}

}  // namespace fieldtool
