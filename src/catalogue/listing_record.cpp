#include "catalogue/listing_record.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <new>

#include "runtime/json.h"
#include "runtime/utc_time.h"

namespace quorvale::catalogue {

namespace {

void WriteFolders(runtime::JsonWriter& json, std::string_view key, std::size_t count,
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

void WriteStrings(runtime::JsonWriter& json, std::string_view key,
                  const std::vector<std::string>& items) {
    json.Key(key);
    json.StartArray();
    for (const std::string& item : items) json.String(item);
    json.Close(']');
}

void WriteHashes(runtime::JsonWriter& json, const ListingRecord::Hashes& hashes) {
    json.Key("hashes");
    json.StartObject();
    json.Key("algorithm");
    json.String(std::string(reading::HashAlgorithmName(hashes.algorithm)));
    json.Key("byEntry");
    json.String(hashes.byEntry);
    json.Key("bySize");
    json.String(hashes.bySize);
    json.Key("files");
    json.Number(hashes.files);
    json.Key("carried");
    json.Number(hashes.carried);
    json.Key("bytesRead");
    json.Number(hashes.bytesRead);
    WriteFolders(json, "notHashed", hashes.notHashedCount, hashes.notHashed);
    json.Close('}');
}

// The fields of a record its readers use, as dotted paths; every other value is checked as
// strictly and then passed over, so what a record holds beyond these costs no memory.
constexpr std::array<std::string_view, 50> kFieldsRead = {"fileSystem.mountPoint",
                                                          "sizes",
                                                          "sizes.name",
                                                          "sizes.bytes",
                                                          "hashes",
                                                          "hashes.files",
                                                          "hashes.carried",
                                                          "hashes.bytesRead",
                                                          "hashes.notHashed",
                                                          "hashes.notHashed.count",
                                                          "hashes.algorithm",
                                                          "hashes.byEntry",
                                                          "hashes.bySize",
                                                          "fileSystem.model",
                                                          "fileSystem.identifiedBy",
                                                          "fileSystem.fsid",
                                                          "fileSystem.capacity",
                                                          "fileSystem.available",
                                                          "denied",
                                                          "denied.count",
                                                          "incomplete",
                                                          "incomplete.count",
                                                          "linesWithTheSign",
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

// A record nests four deep (the record, "denied", "first", one folder).
constexpr int kRecordDepth = 8;

bool IsFieldRead(std::string_view path) {
    return std::find(kFieldsRead.begin(), kFieldsRead.end(), path) != kFieldsRead.end();
}

// The number at `key` of `object`, when it lies in [low, high]; otherwise `why` names the field.
std::optional<std::uint64_t> NumberAt(const runtime::JsonValue* object, const std::string& key,
                                      std::string_view field, std::uint64_t low, std::uint64_t high,
                                      std::string& why) {
    const runtime::JsonValue* value = object != nullptr ? object->Member(key) : nullptr;
    if (value == nullptr || value->kind != runtime::JsonValue::Kind::kNumber) {
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
std::optional<bool> TruthAt(const runtime::JsonValue* object, const std::string& key,
                            bool fallback) {
    const runtime::JsonValue* value = object != nullptr ? object->Member(key) : nullptr;
    if (value == nullptr) return fallback;
    if (value->kind != runtime::JsonValue::Kind::kBool) return std::nullopt;
    return value->truth;
}

}  // namespace

std::string RecordText(const ListingRecord& record) {
    runtime::JsonWriter json;
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
    json.Key("model");
    json.String(record.fileSystem.model);
    json.Key("identifiedBy");
    json.String(record.fileSystem.identifiedBy);
    json.Key("fsid");
    json.String(record.fileSystem.fsid);
    json.Key("capacity");
    json.Number(record.fileSystem.capacity);
    json.Key("available");
    json.Number(record.fileSystem.available);
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
    if (record.linesWithTheSign) {
        json.Key("linesWithTheSign");
        json.Number(*record.linesWithTheSign);
    }
    json.Key("complete");
    json.Bool(record.complete);
    WriteFolders(json, "denied", record.deniedCount, record.denied);
    WriteFolders(json, "incomplete", record.incompleteCount, record.incomplete);
    WriteStrings(json, "notEntered", record.notEntered);
    if (!record.fileSystemOwn.empty()) {
        WriteFolders(json, "fileSystemOwn", record.fileSystemOwn.size(), record.fileSystemOwn);
    }
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
    if (!record.sizesName.empty()) {
        json.Key("sizes");
        json.StartObject();
        json.Key("name");
        json.String(record.sizesName);
        json.Key("bytes");
        json.Number(record.sizesBytes);
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
    if (record.hashes) WriteHashes(json, *record.hashes);
    json.Close('}');
    return json.Text();
}

namespace {

// The list files, lines and bytes of a record, checked against each other: a Save that wrote no
// list file has no line and no byte; one that did wrote its root line at least, and two bytes
// (CR LF) a line at the least.
bool ReadCounts(const runtime::JsonValue& document, ListingRecord& record, std::string& why) {
    const runtime::JsonValue* files = document.Member("listFiles");
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
    // Of those lines, the ones naming entries that hold a line break's sign itself (records of
    // earlier versions do not tell).
    if (document.Member("linesWithTheSign") != nullptr) {
        record.linesWithTheSign =
            NumberAt(&document, "linesWithTheSign", "linesWithTheSign", 0, *lines, why);
        if (!record.linesWithTheSign) return false;
    }
    return true;
}

// The string at `key` of `object` ("" when there is none); nullopt when it is no string.
std::optional<std::string> TextAt(const runtime::JsonValue* object, const std::string& key) {
    const runtime::JsonValue* value = object != nullptr ? object->Member(key) : nullptr;
    if (value == nullptr) return std::string();
    if (value->kind != runtime::JsonValue::Kind::kString) return std::nullopt;
    return value->text;
}

// A name of a file in the record's own folder.
bool IsFileName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

// The hashes the record names, if any: their algorithm and their two files.
bool ReadHashes(const runtime::JsonValue& document, ListingRecord& record, std::string& why) {
    const runtime::JsonValue* hashes = document.Member("hashes");
    if (hashes == nullptr) return true;
    const std::optional<std::string> algorithm = TextAt(hashes, "algorithm");
    const std::optional<reading::HashAlgorithm> named =
        algorithm ? reading::HashAlgorithmNamed(*algorithm) : std::nullopt;
    if (!named) {
        why = "\"hashes.algorithm\" is not an algorithm this version knows";
        return false;
    }
    ListingRecord::Hashes read;
    read.algorithm = *named;
    for (const auto& [key, field] :
         {std::pair{"byEntry", &read.byEntry}, std::pair{"bySize", &read.bySize}}) {
        std::optional<std::string> name = TextAt(hashes, key);
        if (!name || !IsFileName(*name)) {
            why = "\"hashes." + std::string(key) + "\" is not a file's name";
            return false;
        }
        *field = std::move(*name);
    }
    for (const auto& [key, field] :
         {std::pair{"files", &read.files}, std::pair{"carried", &read.carried},
          std::pair{"bytesRead", &read.bytesRead}}) {
        const auto number = NumberAt(hashes, key, "hashes." + std::string(key), 0, UINT64_MAX, why);
        if (!number) return false;
        *field = *number;
    }
    const auto notHashed = NumberAt(hashes->Member("notHashed"), "count", "hashes.notHashed.count",
                                    0, UINT64_MAX, why);
    if (!notHashed) return false;
    read.notHashedCount = static_cast<std::size_t>(*notHashed);
    record.options.hash = read.algorithm;
    record.hashes = std::move(read);
    return true;
}

// The index the record names, if any: a name of its own folder only.
bool ReadIndex(const runtime::JsonValue& document, ListingRecord& record, std::string& why) {
    const runtime::JsonValue* index = document.Member("index");
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

// The sizes file the record names, if any: a name of its own folder only.
bool ReadSizes(const runtime::JsonValue& document, ListingRecord& record, std::string& why) {
    const runtime::JsonValue* sizes = document.Member("sizes");
    if (sizes == nullptr) return true;
    const std::optional<std::string> name = TextAt(sizes, "name");
    if (!name || !IsFileName(*name)) {
        why = "\"sizes.name\" is not a file's name";
        return false;
    }
    const auto bytes = NumberAt(sizes, "bytes", "sizes.bytes", 1, UINT64_MAX, why);
    if (!bytes) return false;
    record.sizesName = *name;
    record.sizesBytes = *bytes;
    return true;
}

// What records since the catalogue tell of the drive besides (older ones have none of it): how it
// was known, its id, its size and free space.
bool ReadDriveFacts(const runtime::JsonValue* fileSystem, ListingRecord& record, std::string& why) {
    if (fileSystem == nullptr) return true;
    for (const auto& [key, field] : {std::pair{"model", &record.fileSystem.model},
                                     std::pair{"identifiedBy", &record.fileSystem.identifiedBy},
                                     std::pair{"fsid", &record.fileSystem.fsid}}) {
        if (fileSystem->Member(key) == nullptr) continue;
        std::optional<std::string> text = TextAt(fileSystem, key);
        if (!text) {
            why = "\"fileSystem." + std::string(key) + "\" is not a string";
            return false;
        }
        *field = std::move(*text);
    }
    for (const auto& [key, field] : {std::pair{"capacity", &record.fileSystem.capacity},
                                     std::pair{"available", &record.fileSystem.available}}) {
        if (fileSystem->Member(key) == nullptr) continue;
        const auto number =
            NumberAt(fileSystem, key, "fileSystem." + std::string(key), 0, UINT64_MAX, why);
        if (!number) return false;
        *field = *number;
    }
    return true;
}

// How many folders were denied or left incomplete (the record names the first ones).
bool ReadIncompleteCounts(const runtime::JsonValue& document, ListingRecord& record,
                          std::string& why) {
    for (const auto& [key, field] : {std::pair{"denied", &record.deniedCount},
                                     std::pair{"incomplete", &record.incompleteCount}}) {
        const runtime::JsonValue* folders = document.Member(key);
        if (folders == nullptr) continue;
        const auto count =
            NumberAt(folders, "count", std::string(key) + ".count", 0, UINT64_MAX, why);
        if (!count) return false;
        *field = *count;
    }
    return true;
}

// When the Save ended, on which host and from which file system: what tells listings of one drive
// apart from another's, and the newest. The time is printed beside each match a search finds, so
// it must be a time as a Save writes it (or none), nothing else.
bool ReadWhereAndWhen(const runtime::JsonValue& document, ListingRecord& record, std::string& why) {
    const std::optional<std::string> ended = TextAt(&document, "ended");
    if (!ended || ended->size() > 32 ||
        ended->find_first_not_of("0123456789+-:TZ") != std::string::npos) {
        why = "\"ended\" is not a time";
        return false;
    }
    record.ended = *ended;
    const runtime::JsonValue* fileSystem = document.Member("fileSystem");
    const std::pair<const runtime::JsonValue*, std::pair<std::string, std::string*>> fields[] = {
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
    return ReadDriveFacts(fileSystem, record, why) && ReadIndex(document, record, why) &&
           ReadSizes(document, record, why);
}

// What a later Save must match to reuse the listing: the options beyond details, and the user and
// groups it was made as (a record without them matches no one).
bool ReadWalkedAs(const runtime::JsonValue& document, ListingRecord& record, std::string& why) {
    const runtime::JsonValue* options = document.Member("options");
    const std::optional<bool> oneFileSystem = TruthAt(options, "oneFileSystem", false);
    if (!oneFileSystem) {
        why = "\"options.oneFileSystem\" is not true or false";
        return false;
    }
    record.options.oneFileSystem = *oneFileSystem;
    const runtime::JsonValue* excludes = options != nullptr ? options->Member("exclude") : nullptr;
    if (excludes != nullptr) {
        for (const runtime::JsonValue& item : excludes->items) {
            if (item.kind != runtime::JsonValue::Kind::kString) {
                why = "\"options.exclude\" is not a list of patterns";
                return false;
            }
            record.options.excludes.push_back(item.text);
        }
    }
    const runtime::JsonValue* user = document.Member("user");
    if (user == nullptr) return true;
    const auto id = NumberAt(user, "id", "user.id", 0, UINT32_MAX, why);
    if (!id) return false;
    ListingRecord::User walkedAs{*id, {}};
    const runtime::JsonValue* groups = user->Member("groups");
    for (const runtime::JsonValue& item :
         groups != nullptr ? groups->items : std::vector<runtime::JsonValue>{}) {
        if (item.kind != runtime::JsonValue::Kind::kNumber || item.number > UINT32_MAX) {
            why = "\"user.groups\" is not a list of numbers";
            return false;
        }
        walkedAs.groups.push_back(item.number);
    }
    record.user = std::move(walkedAs);
    return true;
}

std::optional<ListingRecord> ReadRecordOf(std::string_view text, std::string& why) {
    std::string error;
    const std::optional<runtime::JsonValue> document =
        runtime::ReadJson(text, {kRecordDepth, "record", &IsFieldRead}, error);
    if (!document || document->kind != runtime::JsonValue::Kind::kObject) {
        why = "it is not a record of a listing (" +
              (error.empty() ? std::string("no JSON object") : error) + ")";
        return std::nullopt;
    }
    const runtime::JsonValue* program = document->Member("program");
    const runtime::JsonValue* root = document->Member("root");
    if (program == nullptr || program->text != "quorvale" || root == nullptr ||
        root->kind != runtime::JsonValue::Kind::kString) {
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
    if (!ReadWhereAndWhen(*document, record, why) || !ReadWalkedAs(*document, record, why) ||
        !ReadIncompleteCounts(*document, record, why) || !ReadHashes(*document, record, why)) {
        return std::nullopt;
    }
    return record;
}

}  // namespace

std::string LineBreakSignNotice(const std::string& folder, const ListingRecord& record) {
    if (!record.linesWithTheSign || *record.linesWithTheSign == 0) return {};
    return "\"" + folder + "\": " + std::to_string(*record.linesWithTheSign) +
           " of its lines name entries that hold the sign \xE2\x90\x8A or \xE2\x90\x8D itself, "
           "which is given as a line break like every other such sign";
}

std::string OptionsText(const reading::ListingOptions& options) {
    std::string text;
    const auto add = [&text](std::string_view part) {
        if (!text.empty()) text += ' ';
        text += part;
    };
    if (options.details) add("--details");
    if (options.hash != reading::HashAlgorithm::kNone) {
        add("--hash=" + std::string(reading::HashAlgorithmName(options.hash)));
    }
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
