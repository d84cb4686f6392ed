#include "catalogue/drive_catalogue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "catalogue/kept_listing.h"
#include "listing/list_file_name.h"
#include "runtime/documents_folder.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

using runtime::RuntimeError;
using runtime::UniqueFd;

namespace {

constexpr const char* kLatestName = "latest";
constexpr const char* kNewLatestName = ".latest.new";
constexpr const char* kNotesName = ".notes";
// The readable part of a place's name, at most (a drive's label is far shorter).
constexpr std::size_t kReadableBytes = 64;

std::string HexOf(std::uint64_t value) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kHex[value & 15];
    return text;
}

// FNV-1a: the same bytes give the same name on every machine and in every version.
std::uint64_t NameHash(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

// A drive's name as part of a folder's name: no "/", no control byte, no leading dot, at most
// kReadableBytes (cut where a character begins).
std::string ReadablePart(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/') c = '_';
    }
    if (text.size() > kReadableBytes) {
        std::size_t cut = kReadableBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    if (text.empty()) text = "drive";
    if (text.front() == '.') text.front() = '_';
    return text;
}

std::string DriveKey(const runtime::FileSystemFacts& facts, const std::string& host) {
    if (!facts.uuid.empty()) return "uuid:" + facts.uuid;
    if (!facts.fsid.empty()) return "fsid:" + facts.fsid;
    return "device:" + host + ":" + facts.device + ":" + facts.source;
}

std::string DriveName(const runtime::FileSystemFacts& facts) {
    if (!facts.label.empty()) return facts.label;
    if (!facts.model.empty()) return facts.model;
    return std::string(runtime::LastPathPart(facts.source));
}

// Makes `path` and the folders above it that are missing, for the user alone.
void MakeFolders(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            throw runtime::ErrorFromErrno(errno, "Cannot make the catalogue's folder", part);
        }
    }
}

// The names in the folder open as `fd` ("." and ".." left out).
std::vector<std::string> NamesIn(int fd) {
    std::vector<std::string> names;
    UniqueFd copy(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* folder = copy ? ::fdopendir(copy.Get()) : nullptr;
    if (folder == nullptr) return names;
    (void)copy.Release();  // the stream owns it now
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(folder, &::closedir);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Removes the folder `name` in `parent` and the files in it (a listing holds no folder); what
// cannot be removed stays.
void RemoveFolderAt(int parent, const std::string& name) {
    const UniqueFd fd(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return;
    for (const std::string& entry : NamesIn(fd.Get())) ::unlinkat(fd.Get(), entry.c_str(), 0);
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// The generation `latest` names in the place open as `fd`; empty when none.
std::string LatestIn(int fd) {
    char target[256];
    const ssize_t length = ::readlinkat(fd, kLatestName, target, sizeof target - 1);
    if (length <= 0) return {};
    const std::string name(target, static_cast<std::size_t>(length));
    struct stat st {};
    if (name.find('/') != std::string::npos || name.front() == '.' ||
        ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        return {};
    }
    return name;
}

// A generation's name: when its Save began, in UTC, as a name sorts ("2026-12-09T081502Z").
std::string GenerationName() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H%M%SZ", &utc);
    return text;
}

std::optional<ListingRecord> RecordIn(const std::string& folder) {
    try {
        return KeptListing(folder, "read", true).Record();
    } catch (const RuntimeError&) {
        return std::nullopt;
    }
}

std::string NoteName(const std::string& drive) {
    return HexOf(NameHash(drive));
}

}  // namespace

std::string CatalogueFolder() {
    const std::string data = runtime::DataFolder();
    return data.empty() ? data : data + "/catalogue";
}

DrivePlace PlaceOf(const runtime::FileSystemFacts& facts, const std::string& root,
                   const std::string& host) {
    DrivePlace place;
    place.drive = DriveKey(facts, host);
    place.driveName = DriveName(facts);
    place.relativeRoot = runtime::RerootPath(root, facts.mountPoint, "/");
    if (place.relativeRoot.empty()) place.relativeRoot = root;
    std::string readable = place.driveName;
    if (place.relativeRoot != "/") {
        readable += ' ';
        readable += runtime::LastPathPart(place.relativeRoot);
    }
    place.folderName = ReadablePart(std::move(readable)) + "." +
                       HexOf(NameHash(place.drive + '\0' + place.relativeRoot));
    return place;
}

std::string DriveOf(const ListingRecord& record) {
    return DriveKey(record.fileSystem, record.host);
}

std::string DriveNameOf(const ListingRecord& record) {
    return DriveName(record.fileSystem);
}

CatalogueSave::CatalogueSave(const std::string& catalogue, const DrivePlace& place)
    : place_((MakeFolders(runtime::JoinPath(catalogue, place.folderName)),
              runtime::JoinPath(catalogue, place.folderName))) {
    const int fd = place_.Handle();
    if (const std::string latest = LatestIn(fd); !latest.empty()) {
        latest_ = runtime::JoinPath(place_.Path(), latest);
    }
    const std::string base = GenerationName();
    for (int attempt = 1;; ++attempt) {
        generation_ = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        if (::mkdirat(fd, generation_.c_str(), 0700) == 0) break;
        if (errno != EEXIST || attempt == 100) {
            throw runtime::ErrorFromErrno(errno, "Cannot make a listing's folder",
                                          place_.JoinedPath(generation_));
        }
    }
    listFolder_ = place_.JoinedPath(generation_);
}

CatalogueSave::~CatalogueSave() {
    if (!kept_) RemoveFolderAt(place_.Handle(), generation_);
}

void CatalogueSave::Keep() {
    const int fd = place_.Handle();
    const std::string before = LatestIn(fd);
    ::unlinkat(fd, kNewLatestName, 0);
    if (::symlinkat(generation_.c_str(), fd, kNewLatestName) != 0 ||
        ::renameat(fd, kNewLatestName, fd, kLatestName) != 0) {
        throw runtime::ErrorFromErrno(errno, "Cannot make the listing the drive's latest",
                                      listFolder_);
    }
    ::fsync(fd);
    kept_ = true;
    for (const std::string& name : NamesIn(fd)) {
        struct stat st {};
        if (name == generation_ || name == before || name.front() == '.' ||
            ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
            continue;
        }
        RemoveFolderAt(fd, name);
    }
}

std::vector<std::string> LatestListings(const std::string& catalogue) {
    std::vector<std::string> listings;
    const UniqueFd fd(::open(catalogue.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return listings;
    for (const std::string& name : NamesIn(fd.Get())) {
        if (name.front() == '.') continue;
        const UniqueFd place(
            ::openat(fd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!place) continue;
        if (const std::string latest = LatestIn(place.Get()); !latest.empty()) {
            listings.push_back(runtime::JoinPath(runtime::JoinPath(catalogue, name), latest));
        }
    }
    return listings;
}

std::vector<std::string> ListingsNamed(const std::string& catalogue, const std::string& name) {
    std::vector<std::string> named;
    for (const std::string& listing : LatestListings(catalogue)) {
        const std::string placePath = listing.substr(0, listing.rfind('/'));
        const std::string place(runtime::LastPathPart(placePath));
        const std::string readable = place.substr(0, place.rfind('.'));
        bool matches = place == name || readable == name;
        if (!matches) {
            const std::optional<ListingRecord> record = RecordIn(listing);
            matches = record && (DriveNameOf(*record) == name || record->fileSystem.label == name);
        }
        if (matches) named.push_back(listing);
    }
    return named;
}

void ForgetListing(const std::string& given) {
    // A place's `latest` (or any link to a listing) stands for the folder it names.
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(given.c_str(), nullptr),
                                                     &std::free);
    const std::string folder = real ? std::string(real.get()) : given;
    const ListingRecord record = KeptListing(folder, "forget").Record();
    // A catalogue's generation: its place is locked too, and `latest` goes back to the one left.
    const std::string placePath = folder.substr(0, folder.find_last_of('/'));
    const std::string generation(runtime::LastPathPart(folder));
    std::optional<runtime::FolderLock> place;
    {
        const UniqueFd placeFd(::open(placePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        char target[256];
        if (placeFd && ::readlinkat(placeFd.Get(), kLatestName, target, sizeof target) > 0) {
            place.emplace(placePath);
        }
    }
    const runtime::FolderLock lock(folder);
    const int fd = lock.Handle();
    if (::unlinkat(fd, std::string(listing::kRecordName).c_str(), 0) != 0) {
        throw runtime::ErrorFromErrno(errno, "Cannot forget", folder);
    }
    for (const std::string_view name :
         {listing::kPreviousRecordName, listing::kIndexName, listing::kPreviousIndexName,
          listing::kHashesByEntryName, listing::kHashesBySizeName,
          listing::kPreviousHashesByEntryName, listing::kPreviousHashesBySizeName,
          listing::kSizesName, listing::kPreviousSizesName}) {
        ::unlinkat(fd, std::string(name).c_str(), 0);
    }
    for (int number = record.firstListFile; number <= record.lastListFile; ++number) {
        ::unlinkat(fd, listing::ListFileName(number).c_str(), 0);
        ::unlinkat(fd, listing::DetailsFileName(number).c_str(), 0);
    }
    if (!place) return;
    const int placeFd = place->Handle();
    if (LatestIn(placeFd) == generation) {
        ::unlinkat(placeFd, kLatestName, 0);
        for (const std::string& name : NamesIn(placeFd)) {
            if (name == generation || name.front() == '.' || name == kLatestName) continue;
            if (RecordIn(place->JoinedPath(name))) {
                if (::symlinkat(name.c_str(), placeFd, kNewLatestName) == 0) {
                    ::renameat(placeFd, kNewLatestName, placeFd, kLatestName);
                }
            }
        }
    }
    RemoveFolderAt(placeFd, generation);
    if (NamesIn(placeFd).empty()) ::rmdir(placePath.c_str());
}

const std::string& DriveNotes::Of(const ListingRecord& record) {
    const std::string drive = DriveOf(record);
    auto note = notes_.find(drive);
    if (note == notes_.end()) {
        note =
            notes_.emplace(drive, catalogue_.empty() ? std::string() : DriveNote(catalogue_, drive))
                .first;
    }
    return note->second;
}

std::string DriveNote(const std::string& catalogue, const std::string& drive) {
    const std::string path = catalogue + "/" + kNotesName + "/" + NoteName(drive);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return {};
    std::string note(4096, '\0');
    const ssize_t length = ::read(fd.Get(), note.data(), note.size());
    note.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return note;
}

void SetDriveNote(const std::string& catalogue, const std::string& drive, const std::string& note) {
    const std::string folder = catalogue + "/" + kNotesName;
    MakeFolders(folder);
    const std::string path = folder + "/" + NoteName(drive);
    if (note.empty()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            throw runtime::ErrorFromErrno(errno, "Cannot remove the note", path);
        }
        return;
    }
    const std::string temporary = path + ".new";
    {
        const UniqueFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd ||
            ::write(fd.Get(), note.data(), note.size()) != static_cast<ssize_t>(note.size()) ||
            ::fsync(fd.Get()) != 0) {
            const int err = errno;
            ::unlink(temporary.c_str());
            throw runtime::ErrorFromErrno(err, "Cannot write the note", path);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        throw runtime::ErrorFromErrno(errno, "Cannot write the note", path);
    }
}

}  // namespace quorvale::catalogue
