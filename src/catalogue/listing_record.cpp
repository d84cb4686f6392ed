#include "catalogue/listing_record.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>

#include "runtime/utc_time.h"
#include "runtime/utf8.h"

namespace quorvale::catalogue {

namespace {

void AppendHex4(std::string& out, unsigned value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

void AppendString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            AppendHex4(out, c);
            ++i;
        } else if (const runtime::Utf8Character character =
                       runtime::NextUtf8Character(text.substr(i));
                   character.code >= 0) {
            out.append(character.bytes);
            i += character.bytes.size();
        } else {
            AppendHex4(out, 0xDC00 + c);  // a byte outside UTF-8
            ++i;
        }
    }
    out += '"';
}

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
        AppendString(out_, key);
        out_ += ": ";
        keyed_ = true;
    }
    void String(std::string_view value) {
        Separate();
        AppendString(out_, value);
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

void WriteFolders(JsonWriter& json, std::string_view key, std::size_t count,
                  const std::vector<listing::IncompleteFolder>& folders) {
    json.Key(key);
    json.StartObject();
    json.Key("count");
    json.Number(count);
    json.Key("first");
    json.StartArray();
    for (const listing::IncompleteFolder& folder : folders) {
        json.StartObject();
        json.Key("path");
        json.String(folder.path);
        json.Key("reason");
        json.String(folder.reason);
        json.Close('}');
    }
    json.Close(']');
    json.Close('}');
}

void WriteStrings(JsonWriter& json, std::string_view key, const std::vector<std::string>& items) {
    json.Key(key);
    json.StartArray();
    for (const std::string& item : items) json.String(item);
    json.Close(']');
}

// A JSON value as far as reading a record needs: objects, arrays, strings, numbers, literals.
struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
    bool truth = false;
    std::uint64_t number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue* Member(const std::string& key) const {
        const auto it = members.find(key);
        return it == members.end() ? nullptr : &it->second;
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(value, 0)) return std::nullopt;
        SkipSpace();
        if (at_ != text_.size()) return std::nullopt;
        return value;
    }

  private:
    static constexpr int kMaxDepth = 64;

    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t')) {
            ++at_;
        }
    }
    bool Take(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Value(JsonValue& value, int depth) {
        if (depth > kMaxDepth) return false;
        SkipSpace();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') return Object(value, depth);
        if (c == '[') return Array(value, depth);
        if (c == '"') {
            value.kind = JsonValue::Kind::kString;
            return String(value.text);
        }
        if (c >= '0' && c <= '9') {
            value.kind = JsonValue::Kind::kNumber;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
                value.number = value.number * 10 + static_cast<std::uint64_t>(text_[at_++] - '0');
            }
            return true;
        }
        if (Literal("true")) {
            value.kind = JsonValue::Kind::kBool;
            value.truth = true;
            return true;
        }
        if (Literal("false")) {
            value.kind = JsonValue::Kind::kBool;
            return true;
        }
        return Literal("null");
    }

    bool Object(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::kObject;
        ++at_;
        if (Take('}')) return true;
        do {
            SkipSpace();
            std::string key;
            if (at_ >= text_.size() || text_[at_] != '"' || !String(key) || !Take(':')) {
                return false;
            }
            if (!Value(value.members[key], depth + 1)) return false;
        } while (Take(','));
        return Take('}');
    }

    bool Array(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::kArray;
        ++at_;
        if (Take(']')) return true;
        do {
            value.items.emplace_back();
            if (!Value(value.items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take(']');
    }

    bool Hex4(unsigned& value) {
        if (at_ + 4 > text_.size()) return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    // A string, its escapes undone: \udc80 to \udcff give back the byte they stand for.
    bool String(std::string& out) {
        ++at_;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned code = 0;
                    if (!Hex4(code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF && Literal("\\u")) {
                        unsigned low = 0;
                        if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        runtime::AppendUtf8(out,
                                            0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
                    } else if (code >= 0xDC80 && code <= 0xDCFF) {
                        out += static_cast<char>(code - 0xDC00);
                    } else {
                        runtime::AppendUtf8(out, code);
                    }
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::string RecordText(const ListingRecord& record) {
    JsonWriter json;
    json.Open('{');
    json.Key("program");
    json.String("quorvale");
    json.Key("version");
    json.String(record.version);
    json.Key("root");
    json.String(record.root);
    json.Key("started");
    json.String(record.started);
    json.Key("ended");
    json.String(record.ended);
    json.Key("host");
    json.String(record.host);
    json.Key("fileSystem");
    json.StartObject();
    json.Key("type");
    json.String(record.fileSystem.type);
    json.Key("device");
    json.String(record.fileSystem.device);
    json.Key("source");
    json.String(record.fileSystem.source);
    json.Key("uuid");
    json.String(record.fileSystem.uuid);
    json.Key("label");
    json.String(record.fileSystem.label);
    json.Close('}');
    json.Key("listFiles");
    json.StartObject();
    json.Key("first");
    json.Number(static_cast<std::uint64_t>(record.firstListFile));
    json.Key("last");
    json.Number(static_cast<std::uint64_t>(record.lastListFile));
    json.Key("bytes");
    json.Number(record.bytes);
    json.Close('}');
    json.Key("lines");
    json.Number(record.lines);
    json.Key("complete");
    json.Bool(record.complete);
    WriteFolders(json, "denied", record.deniedCount, record.denied);
    WriteFolders(json, "incomplete", record.incompleteCount, record.incomplete);
    WriteStrings(json, "notEntered", record.notEntered);
    json.Key("options");
    json.StartObject();
    json.Key("oneFileSystem");
    json.Bool(record.options.oneFileSystem);
    WriteStrings(json, "exclude", record.options.excludes);
    json.Key("details");
    json.Bool(record.options.details);
    json.Close('}');
    WriteStrings(json, "notOfThisListing", record.notOfThisListing);
    json.Close('}');
    return json.Text();
}

std::optional<ListingRecord> ReadRecord(std::string_view text, std::string& why) {
    const std::optional<JsonValue> document = JsonReader(text).Document();
    if (!document || document->kind != JsonValue::Kind::kObject) {
        why = "it is not a record of a listing (no JSON object)";
        return std::nullopt;
    }
    const JsonValue* program = document->Member("program");
    const JsonValue* root = document->Member("root");
    const JsonValue* files = document->Member("listFiles");
    const JsonValue* lines = document->Member("lines");
    const JsonValue* first = files ? files->Member("first") : nullptr;
    const JsonValue* last = files ? files->Member("last") : nullptr;
    const JsonValue* bytes = files ? files->Member("bytes") : nullptr;
    const auto isNumber = [](const JsonValue* v) {
        return v != nullptr && v->kind == JsonValue::Kind::kNumber;
    };
    if (program == nullptr || program->text != "quorvale" || root == nullptr ||
        root->kind != JsonValue::Kind::kString || !isNumber(lines) || !isNumber(first) ||
        !isNumber(last) || !isNumber(bytes) || first->number == 0 || last->number > 32767) {
        why = "it is not a record of a listing (fields missing)";
        return std::nullopt;
    }
    ListingRecord record;
    record.root = root->text;
    record.firstListFile = static_cast<int>(first->number);
    record.lastListFile = static_cast<int>(last->number);
    record.lines = lines->number;
    record.bytes = bytes->number;
    if (const JsonValue* complete = document->Member("complete")) record.complete = complete->truth;
    if (const JsonValue* options = document->Member("options")) {
        if (const JsonValue* details = options->Member("details")) {
            record.options.details = details->truth;
        }
    }
    return record;
}

}  // namespace quorvale::catalogue
