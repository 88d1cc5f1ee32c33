#include "json.h"

#include <windows.h>

#include <cmath>
#include <cstdio>

namespace fieldtool {

std::string AnsiToUtf8(const std::string& text) {
    if (text.empty()) return text;
    int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wide <= 0) return text;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &w[0], wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return text;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

void Json::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!open_.empty()) {
        if (!first_.back()) text_ += ',';
        first_.back() = false;
    }
}

Json& Json::BeginObject() {
    BeforeValue();
    text_ += '{';
    open_.push_back('{');
    first_.push_back(true);
    return *this;
}

Json& Json::EndObject() {
    if (afterKey_) text_ += "null";   // a key whose value never came
    afterKey_ = false;
    text_ += open_.back() == '{' ? '}' : ']';
    open_.pop_back();
    first_.pop_back();
    return *this;
}

Json& Json::BeginArray() {
    BeforeValue();
    text_ += '[';
    open_.push_back('[');
    first_.push_back(true);
    return *this;
}

Json& Json::EndArray() { return EndObject(); }

Json& Json::Key(const char* key) {
    String(key);
    text_ += ':';
    afterKey_ = true;
    return *this;
}

Json& Json::String(const std::string& ansiText) {
    BeforeValue();
    const std::string utf8 = AnsiToUtf8(ansiText);
    text_ += '"';
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': text_ += "\\\""; break;
        case '\\': text_ += "\\\\"; break;
        case '\n': text_ += "\\n"; break;
        case '\r': text_ += "\\r"; break;
        case '\t': text_ += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text_ += escaped;
            } else {
                text_ += ch;
            }
        }
    }
    text_ += '"';
    return *this;
}

Json& Json::Number(int64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

Json& Json::Number(double value) {
    if (!std::isfinite(value)) return Null();
    BeforeValue();
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    text_ += text;
    return *this;
}

Json& Json::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

Json& Json::Null() {
    BeforeValue();
    text_ += "null";
    return *this;
}

}  // namespace fieldtool
