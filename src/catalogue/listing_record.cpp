#include "catalogue/listing_record.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <new>

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

// A JSON value as far as reading a record needs: objects, strings, numbers, literals (an array
// is checked, never kept).
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

// The fields of a record its readers use, as dotted paths; every other value is checked as
// strictly and then passed over, so what a record holds beyond these costs no memory.
constexpr std::array<std::string_view, 28> kFieldsRead = {"fileSystem.mountPoint",
                                                          "options.oneFileSystem",
                                                          "options.exclude",
                                                          "user",
                                                          "user.id",
                                                          "user.groups",
                                                          "index",
                                                          "index.name",
                                                          "index.bytes",
                                                          "index.save",
                                                          "program",
                                                          "format",
                                                          "root",
                                                          "lines",
                                                          "complete",
                                                          "ended",
                                                          "host",
                                                          "listFiles",
                                                          "listFiles.first",
                                                          "listFiles.last",
                                                          "listFiles.bytes",
                                                          "options",
                                                          "options.details",
                                                          "fileSystem",
                                                          "fileSystem.uuid",
                                                          "fileSystem.label",
                                                          "fileSystem.source",
                                                          "fileSystem.type"};

bool IsFieldRead(std::string_view path) {
    return std::find(kFieldsRead.begin(), kFieldsRead.end(), path) != kFieldsRead.end();
}

// Strict JSON as a record holds it: nesting no deeper than a record's own, no key twice in an
// object, whole numbers that fit 64 bits. Only the values at kFieldsRead are kept: the memory it
// takes is the text's size times a small constant (the keys of the objects being read, to find a
// key twice), whatever the text's shape. What it refuses is said in Error().
class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(&value, 0, {})) return std::nullopt;
        SkipSpace();
        if (at_ != text_.size()) return Fail("text after the record's end");
        return value;
    }
    const std::string& Error() const { return error_; }

  private:
    // A record nests four deep (the record, "denied", "first", one folder).
    static constexpr int kMaxDepth = 8;

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
    // its dotted path in the record.
    bool Value(JsonValue* value, int depth, const std::string& path) {
        if (depth > kMaxDepth) return Failed("nested deeper than a record");
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
            if (value != nullptr && IsFieldRead(memberPath)) {
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
        JsonReader reader(quoted);
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
    std::size_t at_ = 0;
    std::string error_;
};

// The number at `key` of `object`, when it lies in [low, high]; otherwise `why` names the field.
std::optional<std::uint64_t> NumberAt(const JsonValue* object, const std::string& key,
                                      std::string_view field, std::uint64_t low, std::uint64_t high,
                                      std::string& why) {
    const JsonValue* value = object != nullptr ? object->Member(key) : nullptr;
    if (value == nullptr || value->kind != JsonValue::Kind::kNumber) {
        why = "\"" + std::string(field) + "\" is missing or not a number";
        return std::nullopt;
    }
    if (value->number < low || value->number > high) {
        why = "\"" + std::string(field) + "\" is out of range (" + std::to_string(value->number) +
              ")";
        return std::nullopt;
    }
    return value->number;
}

// `object`'s truth value at `key`, `fallback` when there is none; nullopt when it is no truth
// value.
std::optional<bool> TruthAt(const JsonValue* object, const std::string& key, bool fallback) {
    const JsonValue* value = object != nullptr ? object->Member(key) : nullptr;
    if (value == nullptr) return fallback;
    if (value->kind != JsonValue::Kind::kBool) return std::nullopt;
    return value->truth;
}

}  // namespace

std::string RecordText(const ListingRecord& record) {
    JsonWriter json;
    json.Open('{');
    json.Key("program");
    json.String("quorvale");
    json.Key("format");
    json.Number(kRecordFormat);
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
    json.Key("mountPoint");
    json.String(record.fileSystem.mountPoint);
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
    if (record.user) {
        json.Key("user");
        json.StartObject();
        json.Key("id");
        json.Number(record.user->id);
        json.Key("groups");
        json.StartArray();
        for (const std::uint64_t group : record.user->groups) json.Number(group);
        json.Close(']');
        json.Close('}');
    }
    WriteStrings(json, "notOfThisListing", record.notOfThisListing);
    if (!record.indexName.empty()) {
        json.Key("index");
        json.StartObject();
        json.Key("name");
        json.String(record.indexName);
        json.Key("bytes");
        json.Number(record.indexBytes);
        if (record.indexSave) {
            json.Key("save");
            json.String(record.indexSave->Hex());
        }
        json.Close('}');
    }
    if (!record.reuse.listing.empty()) {
        json.Key("reuse");
        json.StartObject();
        json.Key("listing");
        json.String(record.reuse.listing);
        json.Key("foldersReused");
        json.Number(record.reuse.foldersReused);
        json.Key("foldersRead");
        json.Number(record.reuse.foldersRead);
        json.Close('}');
    }
    json.Close('}');
    return json.Text();
}

namespace {

// The list files, lines and bytes of a record, checked against each other: a Save that wrote no
// list file has no line and no byte; one that did wrote its root line at least, and two bytes
// (CR LF) a line at the least.
bool ReadCounts(const JsonValue& document, ListingRecord& record, std::string& why) {
    const JsonValue* files = document.Member("listFiles");
    const auto first = NumberAt(files, "first", "listFiles.first", 1, 32767, why);
    if (!first) return false;
    const auto last = NumberAt(files, "last", "listFiles.last", 0, 32767, why);
    if (!last) return false;
    const auto bytes = NumberAt(files, "bytes", "listFiles.bytes", 0, UINT64_MAX, why);
    if (!bytes) return false;
    const auto lines = NumberAt(&document, "lines", "lines", 0, UINT64_MAX, why);
    if (!lines) return false;
    if (*last != 0 && *first > *last) {
        why = "\"listFiles.first\" is after \"listFiles.last\"";
        return false;
    }
    if ((*last == 0) != (*lines == 0) || (*lines == 0) != (*bytes == 0) || *bytes / 2 < *lines) {
        why = "\"lines\" and \"listFiles\" do not agree";
        return false;
    }
    record.firstListFile = static_cast<int>(*first);
    record.lastListFile = static_cast<int>(*last);
    record.lines = *lines;
    record.bytes = *bytes;
    return true;
}

// The string at `key` of `object` ("" when there is none); nullopt when it is no string.
std::optional<std::string> TextAt(const JsonValue* object, const std::string& key) {
    const JsonValue* value = object != nullptr ? object->Member(key) : nullptr;
    if (value == nullptr) return std::string();
    if (value->kind != JsonValue::Kind::kString) return std::nullopt;
    return value->text;
}

// The index the record names, if any: a name of its own folder only.
bool ReadIndex(const JsonValue& document, ListingRecord& record, std::string& why) {
    const JsonValue* index = document.Member("index");
    if (index == nullptr) return true;
    const std::optional<std::string> name = TextAt(index, "name");
    if (!name || name->empty() || name->find('/') != std::string::npos || *name == "." ||
        *name == "..") {
        why = "\"index.name\" is not a file's name";
        return false;
    }
    const auto bytes = NumberAt(index, "bytes", "index.bytes", 1, UINT64_MAX, why);
    if (!bytes) return false;
    const std::optional<std::string> save = TextAt(index, "save");
    if (!save) {
        why = "\"index.save\" is not a Save's identity";
        return false;
    }
    if (!save->empty()) {
        record.indexSave = SaveIdentity::FromHex(*save);
        if (!record.indexSave) {
            why = "\"index.save\" is not a Save's identity";
            return false;
        }
    }
    record.indexName = *name;
    record.indexBytes = *bytes;
    return true;
}

// When the Save ended, on which host and from which file system: what tells listings of one drive
// apart from another's, and the newest. The time is printed beside each match a search finds, so
// it must be a time as a Save writes it (or none), nothing else.
bool ReadWhereAndWhen(const JsonValue& document, ListingRecord& record, std::string& why) {
    const std::optional<std::string> ended = TextAt(&document, "ended");
    if (!ended || ended->size() > 32 ||
        ended->find_first_not_of("0123456789+-:TZ") != std::string::npos) {
        why = "\"ended\" is not a time";
        return false;
    }
    record.ended = *ended;
    const JsonValue* fileSystem = document.Member("fileSystem");
    const std::pair<const JsonValue*, std::pair<std::string, std::string*>> fields[] = {
        {&document, {"host", &record.host}},
        {fileSystem, {"uuid", &record.fileSystem.uuid}},
        {fileSystem, {"label", &record.fileSystem.label}},
        {fileSystem, {"source", &record.fileSystem.source}},
        {fileSystem, {"type", &record.fileSystem.type}},
        {fileSystem, {"mountPoint", &record.fileSystem.mountPoint}},
    };
    for (const auto& [object, field] : fields) {
        std::optional<std::string> text = TextAt(object, field.first);
        if (!text) {
            why = "\"" + field.first + "\" is not a string";
            return false;
        }
        *field.second = std::move(*text);
    }
    return ReadIndex(document, record, why);
}

// What a later Save must match to reuse the listing: the options beyond details, and the user and
// groups it was made as (a record without them matches no one).
bool ReadWalkedAs(const JsonValue& document, ListingRecord& record, std::string& why) {
    const JsonValue* options = document.Member("options");
    const std::optional<bool> oneFileSystem = TruthAt(options, "oneFileSystem", false);
    if (!oneFileSystem) {
        why = "\"options.oneFileSystem\" is not true or false";
        return false;
    }
    record.options.oneFileSystem = *oneFileSystem;
    const JsonValue* excludes = options != nullptr ? options->Member("exclude") : nullptr;
    if (excludes != nullptr) {
        for (const JsonValue& item : excludes->items) {
            if (item.kind != JsonValue::Kind::kString) {
                why = "\"options.exclude\" is not a list of patterns";
                return false;
            }
            record.options.excludes.push_back(item.text);
        }
    }
    const JsonValue* user = document.Member("user");
    if (user == nullptr) return true;
    const auto id = NumberAt(user, "id", "user.id", 0, UINT32_MAX, why);
    if (!id) return false;
    ListingRecord::User walkedAs{*id, {}};
    const JsonValue* groups = user->Member("groups");
    for (const JsonValue& item : groups != nullptr ? groups->items : std::vector<JsonValue>{}) {
        if (item.kind != JsonValue::Kind::kNumber || item.number > UINT32_MAX) {
            why = "\"user.groups\" is not a list of numbers";
            return false;
        }
        walkedAs.groups.push_back(item.number);
    }
    record.user = std::move(walkedAs);
    return true;
}

std::optional<ListingRecord> ReadRecordOf(std::string_view text, std::string& why) {
    JsonReader reader(text);
    const std::optional<JsonValue> document = reader.Document();
    if (!document || document->kind != JsonValue::Kind::kObject) {
        why = "it is not a record of a listing (" +
              (reader.Error().empty() ? std::string("no JSON object") : reader.Error()) + ")";
        return std::nullopt;
    }
    const JsonValue* program = document->Member("program");
    const JsonValue* root = document->Member("root");
    if (program == nullptr || program->text != "quorvale" || root == nullptr ||
        root->kind != JsonValue::Kind::kString) {
        why = "it is not a record of a listing (fields missing)";
        return std::nullopt;
    }
    // Records from before the format was written are of the first format.
    const std::optional<std::uint64_t> format =
        document->Member("format") == nullptr
            ? std::optional<std::uint64_t>(1)
            : NumberAt(&*document, "format", "format", 1, kRecordFormat, why);
    if (!format) {
        why = "a record of a later format (" + why + "), which this version cannot read";
        return std::nullopt;
    }
    ListingRecord record;
    record.root = root->text;
    if (!ReadCounts(*document, record, why)) return std::nullopt;
    const std::optional<bool> complete = TruthAt(&*document, "complete", true);
    const std::optional<bool> details = TruthAt(document->Member("options"), "details", false);
    if (!complete || !details) {
        why = std::string("\"") + (!complete ? "complete" : "options.details") +
              "\" is not true or false";
        return std::nullopt;
    }
    record.complete = *complete;
    record.options.details = *details;
    if (!ReadWhereAndWhen(*document, record, why) || !ReadWalkedAs(*document, record, why)) {
        return std::nullopt;
    }
    return record;
}

}  // namespace

std::string OptionsText(const reading::ListingOptions& options) {
    std::string text;
    const auto add = [&text](std::string_view part) {
        if (!text.empty()) text += ' ';
        text += part;
    };
    if (options.details) add("--details");
    if (options.oneFileSystem) add("--one-file-system");
    for (const std::string& pattern : options.excludes) add("--exclude '" + pattern + "'");
    return text.empty() ? "no options" : text;
}

std::optional<ListingRecord> ReadRecord(std::string_view text, std::string& why) {
    try {
        return ReadRecordOf(text, why);
    } catch (const std::bad_alloc&) {
        why = "it is too large to read";
        return std::nullopt;
    }
}

}  // namespace quorvale::catalogue
