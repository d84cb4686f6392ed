#include "catalogue/listing_compare.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "catalogue/kept_listing.h"
#include "catalogue/listing_hashes.h"
#include "listing/details_line.h"

namespace quorvale::catalogue {

using runtime::RuntimeError;

namespace {

// Entries compared between two calls of the caller's check: a few milliseconds' worth.
constexpr std::size_t kStepsBetweenChecks = 4096;

// The bytes of a name as the walk sorted them, from the list file's text of it: a CR or LF it
// holds is written as the sign for it (three bytes), and taken back as the byte it stands for.
// (A name that truly holds the sign cannot be told from one holding the byte.) -1 at the end.
class WalkedBytes {
  public:
    explicit WalkedBytes(std::string_view text) : text_(text) {}
    int Next() {
        if (at_ == text_.size()) return -1;
        if (text_.substr(at_, 2) == "\xE2\x90" && at_ + 2 < text_.size()) {
            const char last = text_[at_ + 2];
            if (last == '\x8A' || last == '\x8D') {
                at_ += 3;
                return last == '\x8A' ? '\n' : '\r';
            }
        }
        return static_cast<unsigned char>(text_[at_++]);
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// The order the walk lists names or folders in: by the bytes it sorted, a name that ends first
// first, and for folders by their paths' names one by one ("a/b" before "a-b": with `slashFirst`
// "/" ranks before every byte).
int CompareAsWalked(std::string_view a, std::string_view b, bool slashFirst) {
    const auto rank = [slashFirst](int c) {
        return c < 0 ? 0 : slashFirst && c == '/' ? 1 : c + 2;
    };
    // The bytes both share are skipped at once, back to where a sign they may end inside began:
    // only the rest is taken byte by byte.
    std::size_t same = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
        a.begin());
    if (same == a.size() && same == b.size()) return 0;
    if (same >= 1 && a[same - 1] == '\xE2') {
        same -= 1;
    } else if (same >= 2 && a[same - 1] == '\x90' && a[same - 2] == '\xE2') {
        same -= 2;
    }
    WalkedBytes left(a.substr(same));
    WalkedBytes right(b.substr(same));
    for (;;) {
        const int x = rank(left.Next());
        const int y = rank(right.Next());
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// The order of two entries in a listing: by folder, the folder's line before its files, files by
// name.
int CompareEntries(const KeptEntry& a, const KeptEntry& b) {
    if (const int folders = CompareAsWalked(a.relative, b.relative, true); folders != 0) {
        return folders;
    }
    if (a.isFile != b.isFile) return a.isFile ? 1 : -1;
    return CompareAsWalked(a.name, b.name, false);
}

// The letters of what differs between two entries' details (type, size, time, each ended by a
// tab): "t", "s", "m". A folder's size is what its file system gives its table of names (it grows
// with the names and seldom shrinks back, and differs between a copy and its original): never a
// change of what the folder holds.
std::string WhatChanged(std::string_view was, std::string_view now) {
    const listing::DetailsFields a = listing::SplitDetails(was);
    const listing::DetailsFields b = listing::SplitDetails(now);
    std::string letters;
    if (a.type != b.type) letters += 't';
    if (a.size != b.size && a.type != "d" && b.type != "d") letters += 's';
    if (a.time != b.time) letters += 'm';
    return letters;
}

void Report(std::string_view sign, const KeptEntry& entry, std::string& line,
            const std::function<void(std::string_view)>& difference) {
    line.assign(sign);
    line += '\t';
    line += entry.folderPath;
    if (entry.isFile) {
        if (!line.ends_with('/')) line += '/';
        line += entry.name;
    } else if (!line.ends_with('/')) {
        line += '/';
    }
    difference(line);
}

// The hashes of both listings, where both have them of one algorithm, read beside their entries.
class BothHashes {
  public:
    BothHashes(KeptListing& olds, KeptListing& news,
               const std::function<void(std::string_view)>& warning) {
        const auto& was = olds.Record().hashes;
        const auto& now = news.Record().hashes;
        if (!was || !now || was->algorithm != now->algorithm) return;
        try {
            old_ = OpenHashes(olds, "compare");
            new_ = OpenHashes(news, "compare");
        } catch (const RuntimeError& error) {
            if (warning) warning(std::string(error.what()) + ": contents are not compared");
            old_.reset();
            new_.reset();
            return;
        }
        oldRows_.emplace(*old_);
        newRows_.emplace(*new_);
    }
    // Whether both listings hashed the file and the hashes differ.
    bool ContentDiffers(const KeptEntry& old, const KeptEntry& now) {
        if (!old_ || !old.isFile) return false;
        const HashRow* was = oldRows_->Of(old.line);
        const HashRow* is = newRows_->Of(now.line);
        return was != nullptr && is != nullptr && was->hash != is->hash;
    }

  private:
    std::unique_ptr<KeptHashes> old_;
    std::unique_ptr<KeptHashes> new_;
    std::optional<KeptHashes::InOrder> oldRows_;
    std::optional<KeptHashes::InOrder> newRows_;
};

// Reports what changed of an entry both listings hold, if anything did; whether something did.
bool ReportChange(const KeptEntry& old, const KeptEntry& now, BothHashes& hashes, std::string& line,
                  const std::function<void(std::string_view)>& difference) {
    std::string letters =
        old.details == now.details ? std::string() : WhatChanged(old.details, now.details);
    if (hashes.ContentDiffers(old, now)) letters += 'c';
    if (letters.empty()) return false;
    Report("~" + letters, now, line, difference);
    return true;
}

// Listings made with options that leave out other entries differ by those entries.
void WarnOfOtherOptions(const reading::ListingOptions& was, const reading::ListingOptions& then,
                        const std::function<void(std::string_view)>& warning) {
    if (warning && (was.oneFileSystem != then.oneFileSystem || was.excludes != then.excludes)) {
        warning("the listings were made with other options (" + OptionsText(was) + ", then " +
                OptionsText(then) + "): what one leaves out shows as removed or added");
    }
}

}  // namespace

bool CompareListings(const std::string& oldFolder, const std::string& newFolder,
                     const std::function<void(std::string_view)>& difference,
                     const std::function<void()>& check,
                     const std::function<void(std::string_view)>& warning) {
    if (check) check();
    KeptListing olds(oldFolder, "compare");
    KeptListing news(newFolder, "compare");
    WarnOfOtherOptions(olds.Record().options, news.Record().options, warning);
    BothHashes hashes(olds, news, warning);
    const bool withDetails = olds.HasDetails() && news.HasDetails();
    if (withDetails) {
        olds.ReadDetails();
        news.ReadDetails();
    }
    std::optional<KeptEntry> old = olds.Next();
    std::optional<KeptEntry> now = news.Next();
    bool differ = false;
    std::string line;
    std::size_t steps = 0;
    while (old || now) {
        if (check && ++steps % kStepsBetweenChecks == 0) check();
        const int order = !old ? 1 : !now ? -1 : CompareEntries(*old, *now);
        if (order == 0) {
            if (withDetails && ReportChange(*old, *now, hashes, line, difference)) differ = true;
            old = olds.Next();
            now = news.Next();
            continue;
        }
        differ = true;
        if (order < 0) {
            Report("-", *old, line, difference);
            old = olds.Next();
        } else {
            Report("+", *now, line, difference);
            now = news.Next();
        }
    }
    // Told what was read; if a Save replaced any of it meanwhile, that may mix two listings.
    for (const KeptListing* reader : {&olds, &news}) {
        if (!reader->Unchanged()) throw ListingChanged("compare", reader->FolderPath());
    }
    return differ;
}

}  // namespace quorvale::catalogue
