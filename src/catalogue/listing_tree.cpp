#include "catalogue/listing_tree.h"

#include <algorithm>
#include <utility>

#include "catalogue/kept_listing.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

// Folder frames of the index held at once: the few a browse or a walk below a folder goes
// back and forth between.
constexpr std::size_t kFramesHeld = 8;
// Folders told between two calls of a walk's check.
constexpr std::uint64_t kCheckEvery = 4096;

}  // namespace

std::unique_ptr<KeptSizes> OpenSizesOf(KeptListing& listing, std::string_view action) {
    const ListingRecord& record = listing.Record();
    const std::string context =
        "Cannot " + std::string(action) + " \"" + listing.FolderPath() + "\": ";
    if (record.sizesName.empty() || !record.indexSave) {
        throw runtime::RuntimeError(
            runtime::InvalidProcedureCall,
            context + (record.options.details
                           ? "it has no sizes (it was saved by an earlier version)"
                           : "it has no sizes (it was saved without --details)"));
    }
    std::uint64_t size = 0;
    runtime::UniqueFd fd = listing.OpenSizes(size);
    if (!fd || size != record.sizesBytes) {
        throw runtime::RuntimeError(runtime::PathNotFound,
                                    context + "its sizes \"" + record.sizesName + "\" are " +
                                        (fd ? "not the size its record states" : "missing"));
    }
    try {
        return std::make_unique<KeptSizes>(std::move(fd), record.lines, *record.indexSave);
    } catch (const runtime::RuntimeError& error) {
        throw runtime::RuntimeError(error.Number(), context + error.what());
    }
}

ListingTree::ListingTree(const std::string& folder, std::string_view action) : folder_(folder) {
    KeptListing listing(folder, action, true);
    record_ = listing.Record();
    const std::string context = "Cannot " + std::string(action) + " \"" + folder + "\": ";
    sizes_ = OpenSizesOf(listing, action);
    try {
        index_.emplace(OpenIndexOf(listing));
        const IndexHeader& header = index_->Header();
        if (header.folders == 0 || header.folders != sizes_->Folders() ||
            header.entries != sizes_->Entries()) {
            ThrowSizesDamaged("they are not of its index");
        }
        std::string path;
        const std::string block = index_->Frame(header.blockTable, 0);
        std::size_t at = 0;
        NextIndexedPath(block, at, path);
        rootPath_ = path.empty() ? "/" : path;
    } catch (const runtime::RuntimeError& error) {
        throw runtime::RuntimeError(error.Number(), context + error.what());
    }
}

ListingTree::~ListingTree() = default;

const IndexedFolder& ListingTree::Indexed(std::uint64_t folder) const {
    const auto frame = static_cast<std::uint32_t>(folder / kFoldersPerFrame);
    const auto held = std::find_if(frames_.begin(), frames_.end(),
                                   [frame](const auto& kept) { return kept.first == frame; });
    if (held != frames_.end()) {
        std::rotate(frames_.begin(), held, held + 1);  // the one used last first
    } else {
        std::vector<IndexedFolder> folders;
        std::uint64_t entry = 0;  // entries are the sizes' to tell, not this frame's
        index_->FolderFrame(frame, entry, folders);
        if (frames_.size() == kFramesHeld) frames_.pop_back();
        frames_.insert(frames_.begin(), {frame, std::move(folders)});
    }
    const std::vector<IndexedFolder>& folders = frames_.front().second;
    const std::uint64_t at = folder % kFoldersPerFrame;
    if (at >= folders.size()) ThrowIndexDamaged("its folder count");
    return folders[at];
}

FolderTotals ListingTree::TotalsOf(std::uint64_t folder) const {
    FolderTotals totals = sizes_->Folder(folder);
    if (folder == 0) {
        totals.bytes = sizes_->RootBytesOnce();
        totals.blocks = sizes_->RootBlocksOnce();
    }
    return totals;
}

TreeRow ListingTree::Root() const {
    const FolderTotals totals = TotalsOf(0);
    std::vector<EntrySize> own;
    sizes_->EntrySizes(totals.entry, 1, own);
    return {rootPath_,       true,           0,
            Indexed(0).kind, totals.bytes,   totals.blocks,
            totals.files,    totals.folders, own.front().modified};
}

// The entries of the files directly in `folder`: [first, end).
std::pair<std::uint64_t, std::uint64_t> ListingTree::FilesOf(std::uint64_t folder) const {
    const std::uint64_t first = sizes_->Folder(folder).entry + 1;
    const std::uint64_t end =
        folder + 1 < sizes_->Folders() ? sizes_->Folder(folder + 1).entry : sizes_->Entries();
    if (end < first || end - first > sizes_->Entries()) ThrowSizesDamaged("a folder's entries");
    return {first, end};
}

std::uint64_t ListingTree::ChildCount(std::uint64_t folder) const {
    const auto [first, end] = FilesOf(folder);
    std::uint64_t count = end - first;
    const std::uint64_t last = folder + sizes_->Folder(folder).folders;
    for (std::uint64_t child = folder + 1; child <= last;
         child += 1 + sizes_->Folder(child).folders) {
        ++count;
    }
    return count;
}

std::vector<TreeRow> ListingTree::Children(std::uint64_t folder, std::uint64_t most) const {
    const FolderTotals parent = sizes_->Folder(folder);
    auto [first, end] = FilesOf(folder);
    std::vector<TreeRow> rows;
    rows.reserve(std::min<std::uint64_t>(
        most, std::min<std::uint64_t>(parent.folders, 1u << 20) + (end - first)));
    std::vector<EntrySize> own;
    for (std::uint64_t child = folder + 1;
         child <= folder + parent.folders && rows.size() < most;) {
        const FolderTotals totals = sizes_->Folder(child);
        own.clear();
        sizes_->EntrySizes(totals.entry, 1, own);
        const IndexedFolder& indexed = Indexed(child);
        if (indexed.parent != folder + 1) ThrowSizesDamaged("they are not of its index");
        rows.push_back({indexed.name, true, child, indexed.kind, totals.bytes, totals.blocks,
                        totals.files, totals.folders, own.front().modified});
        child += 1 + totals.folders;
    }
    if (most - rows.size() < end - first) end = first + (most - rows.size());
    own.clear();
    own.reserve(end - first);
    sizes_->EntrySizes(first, end - first, own);
    for (std::uint64_t entry = first; entry < end;) {
        const IndexedBlock block = index_->Block(entry);
        for (std::size_t i = entry - block.first; i < block.Count() && entry < end; ++i, ++entry) {
            const EntrySize& size = own[entry - first];
            rows.push_back({std::string(block.Name(i)), false, entry, block.kinds[i], size.bytes,
                            size.blocks, 0, 0, size.modified});
        }
    }
    return rows;
}

std::string ListingTree::PathOf(std::uint64_t folder) const {
    std::string path = rootPath_;
    const std::vector<std::uint64_t> chain = ChainTo(folder);
    for (std::size_t i = 1; i < chain.size(); ++i)
        runtime::AppendName(path, Indexed(chain[i]).name);
    return path;
}

std::vector<std::uint64_t> ListingTree::ChainTo(std::uint64_t folder) const {
    std::vector<std::uint64_t> chain{folder};
    while (chain.back() != 0) {
        const std::uint64_t parent = Indexed(chain.back()).parent;
        if (parent == 0 || parent - 1 >= chain.back()) ThrowIndexDamaged("a folder's parent");
        chain.push_back(parent - 1);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

std::optional<std::uint64_t> ListingTree::FolderAt(std::string_view path) const {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::string_view root = rootPath_;
    if (!path.starts_with(root)) return std::nullopt;
    std::string_view rest = path.substr(root.size());
    if (!rest.empty() && root.back() != '/') {
        if (rest.front() != '/') return std::nullopt;
        rest.remove_prefix(1);
    }
    std::uint64_t folder = 0;
    while (!rest.empty()) {
        const std::string_view name = rest.substr(0, rest.find('/'));
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
        const std::uint64_t last = folder + sizes_->Folder(folder).folders;
        std::uint64_t child = folder + 1;
        while (child <= last && Indexed(child).name != name) {
            child += 1 + sizes_->Folder(child).folders;
        }
        if (child > last) return std::nullopt;
        folder = child;
    }
    return folder;
}

std::uint64_t ListingTree::FolderOfEntry(std::uint64_t entry) const {
    std::uint64_t low = 0;
    std::uint64_t high = sizes_->Folders();  // the folder is below `high`, at or after `low`
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (sizes_->Folder(middle).entry <= entry) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

void ListingTree::ForEachBelow(std::uint64_t folder, std::uint64_t maxDepth,
                               const std::function<void(const FolderBelow&)>& each,
                               const std::function<void()>& check) const {
    struct Open {
        std::uint64_t number;
        std::size_t pathEnd;  // of its parent's path in `path`
    };
    std::vector<Open> open;
    std::string path = PathOf(folder);
    const auto close = [&] {
        const Open closed = open.back();
        const std::uint64_t depth = open.size() - 1;
        if (depth <= maxDepth) {
            each({closed.number, path, depth, TotalsOf(closed.number)});
        }
        open.pop_back();
        path.resize(closed.pathEnd);
    };
    const std::uint64_t last = folder + sizes_->Folder(folder).folders;
    open.push_back({folder, 0});
    for (std::uint64_t next = folder + 1; next <= last; ++next) {
        if (check && next % kCheckEvery == 0) check();
        const IndexedFolder& indexed = Indexed(next);
        while (!open.empty() && open.back().number + 1 != indexed.parent) close();
        if (open.empty()) ThrowSizesDamaged("they are not of its index");
        if (open.size() > maxDepth) {  // too deep to be told, and so is everything below it
            next += sizes_->Folder(next).folders;
            continue;
        }
        const std::size_t pathEnd = path.size();
        runtime::AppendName(path, indexed.name);
        open.push_back({next, pathEnd});
    }
    while (!open.empty()) close();
}

}  // namespace quorvale::catalogue
