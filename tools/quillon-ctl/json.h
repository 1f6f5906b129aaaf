// A small JSON writer for --json output: objects and arrays written in order,
// commas placed by the writer, strings escaped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

namespace quillon::ctl {

class JsonWriter {
public:
    JsonWriter& beginObject(const char* key = nullptr) { return open(key, '{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray(const char* key = nullptr) { return open(key, '['); }
    JsonWriter& endArray() { return close(']'); }

    JsonWriter& value(const char* key, const std::string& text) {
        prefix(key);
        quote(text);
        return *this;
    }
    JsonWriter& value(const char* key, const char* text) {
        prefix(key);
        if (text == nullptr) {
            out_ += "null";
        } else {
            quote(text);
        }
        return *this;
    }
    JsonWriter& value(const char* key, bool flag) {
        prefix(key);
        out_ += flag ? "true" : "false";
        return *this;
    }
    template <typename Integer>
    requires(std::is_integral_v<Integer> &&
             !std::is_same_v<Integer, bool>) JsonWriter& value(const char* key, Integer number) {
        prefix(key);
        out_ += std::to_string(static_cast<long long>(number));
        return *this;
    }
    JsonWriter& value(const char* key, double number) {
        prefix(key);
        char text[40];
        std::snprintf(text, sizeof text, "%.9g", number);
        out_ += text;
        return *this;
    }

    const std::string& text() const { return out_; }

private:
    JsonWriter& open(const char* key, char bracket) {
        prefix(key);
        out_ += bracket;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& close(char bracket) {
        out_ += bracket;
        first_.pop_back();
        return *this;
    }
    void prefix(const char* key) {
        if (!first_.empty()) {
            if (!first_.back()) {
                out_ += ',';
            }
            first_.back() = false;
        }
        if (key != nullptr) {
            quote(key);
            out_ += ':';
        }
    }
    void quote(const std::string& text) {
        out_ += '"';
        for (const char c : text) {
            const auto code = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (code < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
                out_ += escaped;
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
};

} // namespace quillon::ctl
