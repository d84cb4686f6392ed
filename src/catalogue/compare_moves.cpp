#include "catalogue/compare_moves.h"

#include <unordered_map>

#include "listing/details_line.h"

namespace quorvale::catalogue {

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// The folder an entry's path is in, as "-" prints a folder ("/a/b/" for "/a/b/c" and "/a/b/c/").
std::string_view ParentOf(std::string_view path) {
    if (path.ends_with('/')) path.remove_suffix(1);
    const std::size_t cut = path.rfind('/');
    return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut + 1);
}

// The last part of an entry's path, a folder's with its "/".
std::string_view NameOf(std::string_view path) {
    return path.substr(ParentOf(path).size());
}

// Candidates for a pairing by one key, taken in the order they came.
struct Candidates {
    std::vector<std::uint32_t> items;
    std::size_t next = 0;
};

}  // namespace

std::string ChangedLetters(std::string_view was, std::string_view now) {
    const listing::DetailsFields a = listing::SplitDetails(was);
    const listing::DetailsFields b = listing::SplitDetails(now);
    std::string letters;
    if (a.type != b.type) letters += 't';
    if (a.size != b.size && a.type != "d" && b.type != "d") letters += 's';
    if (a.time != b.time) letters += 'm';
    return letters;
}

struct MovesTold::Item {
    char kind = '-';  // '-', '+', '~'
    bool isFolder = false;
    bool inodeKnown = false;
    bool implied = false;  // moved with the folder it is in
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::uint64_t pathAt = 0;
    std::uint32_t pathBytes = 0;
    std::uint32_t detailsBytes = 0;
    std::uint32_t hashBytes = 0;
    std::uint32_t pair = kNone;    // the item it is paired with as one entry moved
    std::uint32_t below = 0;       // a removed folder's removed entries, and of those, the ones
    std::uint32_t movedBelow = 0;  // that moved with it
};

MovesTold::MovesTold(const std::function<void(std::string_view)>& difference,
                     const std::function<void(std::string_view)>& warning, bool sameDrive,
                     std::uint64_t oldRootDevice, std::uint64_t newRootDevice, bool mayPair)
    : difference_(difference),
      warning_(warning),
      sameDrive_(sameDrive),
      oldRootDevice_(oldRootDevice),
      newRootDevice_(newRootDevice),
      passing_(!mayPair) {}

MovesTold::~MovesTold() = default;

std::string_view MovesTold::Text(std::uint64_t at, std::uint32_t bytes) const {
    return std::string_view(text_).substr(static_cast<std::size_t>(at), bytes);
}

void MovesTold::Changed(std::string_view line) {
    if (passing_) return difference_(line);
    Hold('~', line, {}, false, {});
}

void MovesTold::Removed(std::string_view path, std::string_view details, bool isFolder,
                        const EntryIdentity& identity) {
    Hold('-', path, details, isFolder, identity);
}

void MovesTold::Added(std::string_view path, std::string_view details, bool isFolder,
                      const EntryIdentity& identity) {
    Hold('+', path, details, isFolder, identity);
}

void MovesTold::Hold(char kind, std::string_view path, std::string_view details, bool isFolder,
                     const EntryIdentity& identity) {
    if (passing_) {
        line_.assign(1, kind);
        line_ += '\t';
        line_ += path;
        return difference_(line_);
    }
    Item item;
    item.kind = kind;
    item.isFolder = isFolder;
    item.inodeKnown = identity.inodeKnown;
    item.device = identity.device;
    item.inode = identity.inode;
    item.size = identity.size;
    item.pathAt = text_.size();
    item.pathBytes = static_cast<std::uint32_t>(path.size());
    item.detailsBytes = static_cast<std::uint32_t>(details.size());
    item.hashBytes = static_cast<std::uint32_t>(identity.hash.size());
    text_ += path;
    text_ += details;
    text_ += identity.hash;
    items_.push_back(item);
    if (items_.size() < kMaxHeld) return;
    Finish();
    passing_ = true;
    if (warning_) {
        warning_("more than " + std::to_string(kMaxHeld) +
                 " differences: those after them are told as removed and added, not as moved");
    }
}

void MovesTold::Finish() {
    Pair();
    Tell();
    items_.clear();
    text_.clear();
}

namespace {

std::string InodeKey(bool isFolder, std::uint64_t device, std::uint64_t inode,
                     std::string_view details) {
    std::string key = std::to_string(device) + ':' + std::to_string(inode);
    if (isFolder) return key + ":d";
    const listing::DetailsFields fields = listing::SplitDetails(details);
    key += ':';
    key += fields.type;
    key += ':';
    key += fields.size;
    key += ':';
    key += fields.time;
    return key;
}

// What a file looks like where its listing tells not which file it is (no hashes: no inodes): its
// name, type, size and time. A file that moved keeps them.
std::string LookKey(std::string_view path, std::string_view details) {
    std::string key(NameOf(path));
    key += '\0';
    key += details.substr(0, listing::DetailsFieldsEnd(details));
    return key;
}

}  // namespace

// What the held differences are found by: the added entries by path and by each key a removed
// one may be paired by, and the removed folders by path.
struct MovesTold::Keys {
    std::unordered_map<std::string_view, std::uint32_t> addedByPath;
    std::unordered_map<std::string_view, std::uint32_t> removedFolders;
    std::unordered_map<std::string, Candidates> byInode;
    std::unordered_map<std::string, Candidates> byContent;
    std::unordered_map<std::string, Candidates> byLook;
    std::unordered_map<std::string, std::size_t> removedLooks;
};

bool MovesTold::Looks(const Item& item) const {
    return !item.inodeKnown && !item.isFolder && item.detailsBytes != 0;
}

std::string_view MovesTold::Details(const Item& item) const {
    return Text(item.pathAt + item.pathBytes, item.detailsBytes);
}

std::string MovesTold::ContentKey(const Item& item) const {
    return std::to_string(item.size) + ':' +
           std::string(Text(item.pathAt + item.pathBytes + item.detailsBytes, item.hashBytes));
}

void MovesTold::Index(Keys& keys) const {
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
        const Item& item = items_[i];
        const std::string_view path = Text(item.pathAt, item.pathBytes);
        if (item.kind == '-') {
            if (item.isFolder) keys.removedFolders.emplace(path, i);
            if (Looks(item)) ++keys.removedLooks[LookKey(path, Details(item))];
            continue;
        }
        if (item.kind != '+') continue;
        keys.addedByPath.emplace(path, i);
        if (sameDrive_ && item.inodeKnown) {
            keys.byInode[InodeKey(item.isFolder, item.device, item.inode, Details(item))]
                .items.push_back(i);
        }
        if (Looks(item)) keys.byLook[LookKey(path, Details(item))].items.push_back(i);
        if (item.hashBytes != 0 && !item.isFolder && item.size != 0) {
            keys.byContent[ContentKey(item)].items.push_back(i);
        }
    }
}

void MovesTold::Join(std::uint32_t removed, std::uint32_t added, bool implied) {
    items_[removed].pair = added;
    items_[added].pair = removed;
    items_[removed].implied = items_[added].implied = implied;
}

bool MovesTold::PairWithFolder(std::uint32_t removed, Keys& keys) {
    const std::string_view path = Text(items_[removed].pathAt, items_[removed].pathBytes);
    const auto parent = keys.removedFolders.find(ParentOf(path));
    if (parent == keys.removedFolders.end()) return false;
    Item& folder = items_[parent->second];
    ++folder.below;
    if (folder.pair == kNone) return false;
    const Item& moved = items_[folder.pair];
    const std::string there =
        std::string(Text(moved.pathAt, moved.pathBytes)) + std::string(NameOf(path));
    const auto found = keys.addedByPath.find(there);
    if (found == keys.addedByPath.end()) return false;
    const Item& added = items_[found->second];
    if (added.pair != kNone || added.isFolder != items_[removed].isFolder) return false;
    Join(removed, found->second, true);
    ++folder.movedBelow;
    return true;
}

void MovesTold::PairByKeys(std::uint32_t removed, Keys& keys) {
    const auto take = [this](Candidates& candidates) -> std::uint32_t {
        while (candidates.next < candidates.items.size()) {
            const std::uint32_t at = candidates.items[candidates.next++];
            if (items_[at].pair == kNone) return at;
        }
        return kNone;
    };
    const Item& item = items_[removed];
    std::uint32_t match = kNone;
    if (sameDrive_ && item.inodeKnown) {
        const std::uint64_t device = item.device == oldRootDevice_ ? newRootDevice_ : item.device;
        const auto found =
            keys.byInode.find(InodeKey(item.isFolder, device, item.inode, Details(item)));
        if (found != keys.byInode.end()) match = take(found->second);
    }
    if (match == kNone && item.hashBytes != 0 && !item.isFolder && item.size != 0) {
        const auto found = keys.byContent.find(ContentKey(item));
        if (found != keys.byContent.end()) match = take(found->second);
    }
    if (match == kNone && Looks(item)) {
        // Two files that look alike cannot be told apart: only one of a look is paired.
        const std::string look = LookKey(Text(item.pathAt, item.pathBytes), Details(item));
        const auto found = keys.byLook.find(look);
        if (found != keys.byLook.end() && found->second.items.size() == 1 &&
            keys.removedLooks[look] == 1) {
            match = take(found->second);
        }
    }
    if (match != kNone) Join(removed, match, false);
}

void MovesTold::Pair() {
    Keys keys;
    Index(keys);
    // Removed entries come after the folder they are in: a folder that moved is paired by then,
    // and what it held is looked for in its new place first.
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
        if (items_[i].kind == '-' && !PairWithFolder(i, keys)) PairByKeys(i, keys);
    }
    // A folder whose inode another folder got once it was removed holds none of what it held:
    // no move.
    for (Item& item : items_) {
        if (item.kind == '-' && item.isFolder && item.pair != kNone && !item.implied &&
            item.below != 0 && item.movedBelow == 0) {
            items_[item.pair].pair = kNone;
            item.pair = kNone;
        }
    }
}

void MovesTold::Tell() {
    for (const Item& item : items_) {
        const std::string_view path = Text(item.pathAt, item.pathBytes);
        if (item.kind == '~') {
            difference_(path);
            continue;
        }
        if (item.pair == kNone) {
            line_.assign(1, item.kind);
            line_ += '\t';
            line_ += path;
            difference_(line_);
            continue;
        }
        const Item& other = items_[item.pair];
        if (item.kind == '-') {
            if (item.implied) continue;
            line_ = ">\t";
            line_ += path;
            line_ += '\t';
            line_ += Text(other.pathAt, other.pathBytes);
            difference_(line_);
            continue;
        }
        if (!item.implied) continue;
        // Moved with its folder: told only where it changed on the way.
        std::string letters =
            ChangedLetters(Text(other.pathAt + other.pathBytes, other.detailsBytes),
                           Text(item.pathAt + item.pathBytes, item.detailsBytes));
        if (item.hashBytes != 0 && other.hashBytes != 0 &&
            Text(item.pathAt + item.pathBytes + item.detailsBytes, item.hashBytes) !=
                Text(other.pathAt + other.pathBytes + other.detailsBytes, other.hashBytes)) {
            letters += 'c';
        }
        if (letters.empty()) continue;
        line_ = "~" + letters + '\t';
        line_ += path;
        difference_(line_);
    }
}

}  // namespace quorvale::catalogue
