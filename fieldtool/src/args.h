// The command line of a subcommand: positionals and --options, checked against the
// subcommand's table of options.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fieldtool {

struct OptionSpec {
    const char* name;       // without the leading "--"
    bool takesValue;
    bool repeatable;
};

class Args {
public:
    // Parses argv[start..]; false with `error` set on an unknown option, a missing value or a
    // repeated option that may not repeat. --json, --quiet and --help are known everywhere.
    bool Parse(int argc, char** argv, int start, const std::vector<OptionSpec>& specs, std::string& error);

    const std::vector<std::string>& positionals() const { return positionals_; }
    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    std::string Value(const std::string& name, const std::string& fallback = std::string()) const;
    std::vector<std::string> Values(const std::string& name) const;

private:
    std::vector<std::string> positionals_;
    std::map<std::string, std::vector<std::string>> values_;
};

// Decimal or 0x-prefixed hexadecimal, within [min, max]; false with `error` naming `what`.
bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, const char* what, uint64_t& value,
                 std::string& error);
// The option's number, or `fallback` when it is not given.
bool OptionNumber(const Args& args, const char* name, uint64_t fallback, uint64_t min, uint64_t max,
                  uint64_t& value, std::string& error);
// Hexadecimal bytes: "0a0b0c", "0a 0b 0c", "0a:0b" (one argument).
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes, std::string& error);
// A device interface class in the braced registry form, {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}.
bool IsGuidText(const std::string& text);

std::string HexBytes(const uint8_t* bytes, size_t count);

}  // namespace fieldtool
