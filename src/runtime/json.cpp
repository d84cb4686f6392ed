#include "runtime/json.h"

#include <algorithm>

#include "runtime/utf8.h"

namespace quorvale::runtime {

namespace {

void AppendHex4(std::string& out, unsigned value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
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

namespace {

// The reader of ReadJson. What it refuses is said in Error().
class JsonReader {
  public:
    JsonReader(std::string_view text, const JsonRules& rules) : text_(text), rules_(rules) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(&value, 0, {})) return std::nullopt;
        SkipSpace();
        if (at_ != text_.size()) {
            return Fail("text after the " + std::string(rules_.document) + "'s end");
        }
        return value;
    }
    const std::string& Error() const { return error_; }

  private:
    std::nullopt_t Fail(std::string why) {
        if (error_.empty()) error_ = std::move(why);
        return std::nullopt;
    }
    bool Failed(std::string why) {
        Fail(std::move(why));
        return false;
    }

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

    // The value at the reader's position, into `value` (nullptr: checked, not kept); `path` is
    // its dotted path in the document.
    bool Value(JsonValue* value, int depth, const std::string& path) {
        if (depth > rules_.maxDepth) {
            return Failed("nested deeper than a " + std::string(rules_.document));
        }
        SkipSpace();
        if (at_ >= text_.size()) return Failed("it ends before its last value");
        JsonValue passedOver;
        JsonValue& into = value != nullptr ? *value : passedOver;
        const char c = text_[at_];
        if (c == '{') return Object(value, depth, path);
        if (c == '[') return Array(value, depth, path);
        if (c == '"') {
            into.kind = JsonValue::Kind::kString;
            return String(into.text);
        }
        if (c >= '0' && c <= '9') return Number(into);
        if (Literal("true")) {
            into.kind = JsonValue::Kind::kBool;
            into.truth = true;
            return true;
        }
        if (Literal("false")) {
            into.kind = JsonValue::Kind::kBool;
            return true;
        }
        return Literal("null") || Failed("a value that is not JSON");
    }

    bool Number(JsonValue& value) {
        value.kind = JsonValue::Kind::kNumber;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            const auto digit = static_cast<std::uint64_t>(text_[at_++] - '0');
            if (value.number > (UINT64_MAX - digit) / 10) {
                return Failed("a number past 2^64");
            }
            value.number = value.number * 10 + digit;
        }
        if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) {
            return Failed("a number that is not whole");
        }
        return true;
    }

    bool Object(JsonValue* value, int depth, const std::string& path) {
        if (value != nullptr) value->kind = JsonValue::Kind::kObject;
        ++at_;
        if (Take('}')) return true;
        std::vector<std::string_view> keys;  // as written; sorted at the end, to find one twice
        do {
            SkipSpace();
            std::string key;
            const std::size_t keyStart = at_ + 1;
            if (at_ >= text_.size() || text_[at_] != '"' || !String(key)) {
                return Failed("an object that is not JSON");
            }
            keys.push_back(text_.substr(keyStart, at_ - 1 - keyStart));
            if (!Take(':')) return Failed("an object that is not JSON");
            const std::string memberPath = path.empty() ? key : path + "." + key;
            JsonValue* member = nullptr;
            if (value != nullptr && rules_.keeps != nullptr && rules_.keeps(memberPath)) {
                if (value->members.contains(key)) return Failed("the key \"" + key + "\" twice");
                member = &value->members[key];
            }
            if (!Value(member, depth + 1, memberPath)) return false;
        } while (Take(','));
        if (!Take('}')) return false;
        const auto before = [](std::string_view a, std::string_view b) {
            if (a.find('\\') == std::string_view::npos && b.find('\\') == std::string_view::npos) {
                return a < b;  // what most keys are: their own text
            }
            return KeyOf(a) < KeyOf(b);
        };
        std::sort(keys.begin(), keys.end(), before);
        const auto twice = std::adjacent_find(keys.begin(), keys.end(),
                                              [&](auto a, auto b) { return !before(a, b); });
        return twice == keys.end() || Failed("the key \"" + KeyOf(*twice) + "\" twice");
    }

    // A key as written between its quotes, its escapes undone (most keys have none).
    static std::string KeyOf(std::string_view written) {
        if (written.find('\\') == std::string_view::npos) return std::string(written);
        const std::string quoted = "\"" + std::string(written) + "\"";
        JsonReader reader(quoted, {});
        std::string key;
        reader.String(key);
        return key;
    }

    bool Array(JsonValue* value, int depth, const std::string& path) {
        if (value != nullptr) value->kind = JsonValue::Kind::kArray;
        ++at_;
        if (Take(']')) return true;
        do {
            JsonValue* item = value != nullptr ? &value->items.emplace_back() : nullptr;
            if (!Value(item, depth + 1, path)) return false;
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
    JsonRules rules_;
    std::size_t at_ = 0;
    std::string error_;
};

}  // namespace

std::optional<JsonValue> ReadJson(std::string_view text, const JsonRules& rules,
                                  std::string& error) {
    JsonReader reader(text, rules);
    std::optional<JsonValue> document = reader.Document();
    if (!document) error = reader.Error();
    return document;
}

}  // namespace quorvale::runtime
