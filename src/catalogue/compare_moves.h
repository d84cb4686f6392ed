// What moved between two listings of one drive: an entry only the old listing holds and one only
// the new listing holds are one entry moved when they are the same file (the same inode on the
// same drive, of the same type, and for a file the same size and time) or, for regular files of
// listings both hashed with one algorithm, the same content (size and hash; empty files are all
// alike, and never paired so); where a listing tells no inode of a file (saved without hashes)
// but has details, the same name, type, size and time, where no other file removed or added looks
// the same. A folder
// that moved with what it holds is one move: what moved with it is not told again. A file copied is
// no move: its old path is still in the new listing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/kept_listing.h"

namespace quorvale::catalogue {

// The letters of what differs between two entries' details (type, size, time, each ended by a
// tab): "t", "s", "m". A folder's size is what its file system gives its table of names (it grows
// with the names and seldom shrinks back, and differs between a copy and its original): never a
// change of what the folder holds.
std::string ChangedLetters(std::string_view was, std::string_view now);

// Which file an entry is, where its listing can tell.
struct EntryIdentity {
    bool inodeKnown = false;  // device and inode: a folder's from the index, a file's from its hash
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string_view hash;  // its content's, where both listings hashed with one algorithm
    std::uint64_t size = 0;
};

// Takes the differences of a comparison in order and tells them, in that order, once it knows
// which are moves: ">\tOLD\tNEW" in the place of the old entry's "-" (the new one's "+" left
// out); what moved with a folder and changed on the way as "~" in its new place. What it holds is
// bounded: past kMaxHeld differences it tells what it holds and the rest as it comes, and moves
// no longer (`warning` says so once).
class MovesTold {
  public:
    static constexpr std::size_t kMaxHeld = 1 << 19;

    // `sameDrive`: both listings are of one drive, so inodes may be compared (the old root's
    // device standing for the new root's: a drive plugged in again gets another number).
    // Without `mayPair` (nothing can tell a move) every difference is told as it comes.
    MovesTold(const std::function<void(std::string_view)>& difference,
              const std::function<void(std::string_view)>& warning, bool sameDrive,
              std::uint64_t oldRootDevice, std::uint64_t newRootDevice, bool mayPair = true);
    ~MovesTold();
    MovesTold(const MovesTold&) = delete;
    MovesTold& operator=(const MovesTold&) = delete;

    // "~letters\tPATH", in its place.
    void Changed(std::string_view line);
    // An entry only the old listing holds (`path` as "-" prints it), or only the new one.
    void Removed(std::string_view path, std::string_view details, bool isFolder,
                 const EntryIdentity& identity);
    void Added(std::string_view path, std::string_view details, bool isFolder,
               const EntryIdentity& identity);
    // Tells what is held.
    void Finish();

  private:
    struct Item;
    void Hold(char kind, std::string_view path, std::string_view details, bool isFolder,
              const EntryIdentity& identity);
    struct Keys;
    void Pair();
    void Index(Keys& keys) const;
    bool PairWithFolder(std::uint32_t removed, Keys& keys);
    void PairByKeys(std::uint32_t removed, Keys& keys);
    void Join(std::uint32_t removed, std::uint32_t added, bool implied);
    std::string_view Details(const Item& item) const;
    // Whether the item is paired by how it looks (a file of details without an inode).
    bool Looks(const Item& item) const;
    std::string ContentKey(const Item& item) const;
    void Tell();
    std::string_view Text(std::uint64_t at, std::uint32_t bytes) const;

    const std::function<void(std::string_view)>& difference_;
    const std::function<void(std::string_view)>& warning_;
    bool sameDrive_;
    std::uint64_t oldRootDevice_;
    std::uint64_t newRootDevice_;
    bool passing_;  // past the bound, or nothing to pair: told as it comes
    std::vector<Item> items_;
    std::string text_;
    std::string line_;
};

}  // namespace quorvale::catalogue
