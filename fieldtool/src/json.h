// A small JSON writer: the document grows as the subcommand runs and is written once at the end.
// Text handed in is in the ANSI code page (paths and identity strings as the library gives them)
// and comes out as UTF-8.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fieldtool {

class Json {
public:
    Json& BeginObject();
    Json& EndObject();
    Json& BeginArray();
    Json& EndArray();
    Json& Key(const char* key);
    Json& String(const std::string& ansiText);
    Json& Number(int64_t value);
    Json& Number(double value);
    Json& Bool(bool value);
    Json& Null();

    // Key and value in one.
    template <class T>
    Json& Field(const char* key, const T& value) {
        Key(key);
        return Value(value);
    }

    // Open containers, and closing them down to `depth` (a failure may leave some open).
    size_t Depth() const { return open_.size(); }
    void CloseTo(size_t depth) {
        while (open_.size() > depth) EndObject();
    }
    const std::string& Text() const { return text_; }
    bool Complete() const { return open_.empty() && !text_.empty(); }

private:
    Json& Value(const std::string& v) { return String(v); }
    Json& Value(const char* v) { return String(v); }
    Json& Value(bool v) { return Bool(v); }
    Json& Value(double v) { return Number(v); }
    Json& Value(int v) { return Number(static_cast<int64_t>(v)); }
    Json& Value(long v) { return Number(static_cast<int64_t>(v)); }
    Json& Value(long long v) { return Number(static_cast<int64_t>(v)); }
    Json& Value(unsigned v) { return Number(static_cast<int64_t>(v)); }
    Json& Value(unsigned long v) { return Number(static_cast<int64_t>(v)); }
    Json& Value(unsigned long long v) { return Number(static_cast<int64_t>(v)); }
    void BeforeValue();

    std::string text_;
    std::vector<char> open_;     // '{' or '[' of each open container
    std::vector<bool> first_;    // no member written yet in that container
    bool afterKey_ = false;
};

// ANSI code page text to UTF-8.
std::string AnsiToUtf8(const std::string& text);

}  // namespace fieldtool
