// JSON written and read back strictly, bytes kept: what the program keeps as JSON (the record of
// a Save) is written by JsonWriter and read by JsonReader. A name's bytes that are not UTF-8 are
// written as the escape \udcXX (XX the byte, as Python's "surrogateescape" reads it back) and
// read back as that byte.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::runtime {

// `text` as a JSON string, quotes included, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);

// Writes JSON as people read it: a member or an item a line, indented two spaces a level.
class JsonWriter {
  public:
    void Open(char bracket) {
        out_ += bracket;
        first_ = true;
        ++depth_;
    }
    void Close(char bracket) {
        --depth_;
        if (!first_) NewLine();  // an empty one stays on its line
        out_ += bracket;
        first_ = false;
    }
    void Key(std::string_view key) {
        Separate();
        AppendJsonString(out_, key);
        out_ += ": ";
        keyed_ = true;
    }
    void String(std::string_view value) {
        Separate();
        AppendJsonString(out_, value);
    }
    void Number(std::uint64_t value) {
        Separate();
        out_ += std::to_string(value);
    }
    void Bool(bool value) {
        Separate();
        out_ += value ? "true" : "false";
    }
    void StartObject() {
        Separate();
        Open('{');
    }
    void StartArray() {
        Separate();
        Open('[');
    }
    std::string Text() { return std::move(out_) + "\n"; }

  private:
    void NewLine() {
        out_ += '\n';
        out_.append(2 * depth_, ' ');
    }
    void Separate() {
        if (keyed_) {
            keyed_ = false;
            first_ = false;
            return;
        }
        if (depth_ == 0) return;
        if (!first_) out_ += ',';
        NewLine();
        first_ = false;
    }

    std::string out_;
    int depth_ = 0;
    bool first_ = true;
    bool keyed_ = false;
};

// A JSON value as far as a reader keeps it: objects, strings, whole numbers, literals, and the
// arrays at the paths it keeps.
struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
    bool truth = false;
    std::uint64_t number = 0;
    std::string text;
    std::map<std::string, JsonValue> members;
    std::vector<JsonValue> items;  // of an array at a field read

    const JsonValue* Member(const std::string& key) const {
        const auto it = members.find(key);
        return it == members.end() ? nullptr : &it->second;
    }
};

// What a reader accepts and keeps.
struct JsonRules {
    int maxDepth = 8;                                // nesting deeper is refused
    std::string_view document = "document";          // what the text is, in messages ("a record")
    bool (*keeps)(std::string_view path) = nullptr;  // the dotted paths whose values are kept
};

// The JSON document `text`, strictly: nesting no deeper than `rules` allow, no key twice in an
// object, whole numbers that fit 64 bits, UTF-16 escapes paired. Only the values at the paths
// `rules` keeps are kept (every other value is checked as strictly and passed over), so the
// memory it takes is the text's size times a small constant whatever the text's shape. None, with
// `error` saying why, when the text is not such a document.
std::optional<JsonValue> ReadJson(std::string_view text, const JsonRules& rules,
                                  std::string& error);

}  // namespace quorvale::runtime
