#include "catalogue/hash_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <queue>
#include <type_traits>

#include "catalogue/index_format.h"
#include "catalogue/index_scratch.h"
#include "runtime/read_at.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

constexpr std::size_t kRowFieldsBytes = 7 * 8;    // a row by entry, before its hash
constexpr std::size_t kPendingBytes = 64 * 1024;  // written to a scratch file together
constexpr std::size_t kRunRows = 64 * 1024;       // sorted in memory at once
constexpr std::size_t kReadWindow = 256 * 1024;   // read back at once
constexpr std::size_t kRowsChecksumAt = 48;
constexpr std::size_t kHeaderChecksumAt = 56;

[[noreturn]] void ThrowDamaged(const std::string& why) {
    throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                "its hashes are damaged (" + why + ")");
}

// FNV-1a as IndexChecksum, over bytes given a piece at a time.
class RunningChecksum {
  public:
    void Add(std::string_view bytes) {
        for (const char c : bytes) {
            hash_ ^= static_cast<unsigned char>(c);
            hash_ *= 1099511628211ull;
        }
    }
    std::uint32_t Value() const { return static_cast<std::uint32_t>(hash_ ^ (hash_ >> 32)); }

  private:
    std::uint64_t hash_ = 14695981039346656037ull;
};

std::string Header(std::string_view magic, reading::HashAlgorithm algorithm, std::size_t rowBytes,
                   std::uint64_t rows, std::uint64_t lines, const SaveIdentity& save,
                   std::uint32_t rowsChecksum) {
    std::string header(magic);
    header += static_cast<char>(algorithm);
    header += static_cast<char>(reading::HashBytes(algorithm));
    PutFixed<std::uint16_t>(header, 0);
    PutFixed<std::uint32_t>(header, static_cast<std::uint32_t>(rowBytes));
    PutFixed<std::uint64_t>(header, rows);
    PutFixed<std::uint64_t>(header, lines);
    header.append(reinterpret_cast<const char*>(save.bytes.data()), save.bytes.size());
    PutFixed<std::uint32_t>(header, rowsChecksum);
    PutFixed<std::uint32_t>(header, 0);
    PutFixed<std::uint32_t>(header, IndexChecksum(header));
    PutFixed<std::uint32_t>(header, 0);
    return header;
}

void PutRow(std::string& out, const HashRow& row) {
    PutFixed<std::uint64_t>(out, row.entry);
    PutFixed<std::uint64_t>(out, row.size);
    PutFixed<std::uint64_t>(out, row.device);
    PutFixed<std::uint64_t>(out, row.inode);
    PutFixed<std::int64_t>(out, row.modified);
    PutFixed<std::int64_t>(out, row.changed);
    PutFixed<std::int64_t>(out, row.readAt);
    out += row.hash;
}

// A row by size and hash, as sorted: the size, the hash and the entry, compared in that order.
struct SizeRow {
    std::uint64_t size = 0;
    std::array<unsigned char, reading::kMaxHashBytes> hash{};
    std::uint64_t entry = 0;

    bool operator<(const SizeRow& other) const {
        return std::tie(size, hash, entry) < std::tie(other.size, other.hash, other.entry);
    }
};
// Runs are written and read back as the rows' own bytes.
static_assert(std::is_trivially_copyable_v<SizeRow> && sizeof(SizeRow) == 48);

}  // namespace

// Where the rows wait until Finish: the rows by entry, and sorted runs of rows by size, each in a
// scratch file or, without one, in memory.
class HashFileWriter::Impl {
  public:
    Impl(std::size_t hashBytes, runtime::UniqueFd rows, runtime::UniqueFd runs)
        : hashBytes_(hashBytes), rowsFd_(std::move(rows)), runsFd_(std::move(runs)) {
        if (rowsFd_) rowsFile_.emplace(rowsFd_.Get(), kPendingBytes);
        if (runsFd_) runsFile_.emplace(runsFd_.Get(), kPendingBytes);
    }

    void Follow(const KeptHashes& earlier, HashesBySize* earlierBySize) {
        // Only rows found whole are taken for this Save's.
        if (!earlier.RowsChecked() || earlier.RowBytes() != kRowFieldsBytes + hashBytes_ ||
            added_ != 0) {
            return;
        }
        earlier_ = &earlier;
        earlierBySize_ = earlierBySize;
    }

    void Add(const HashRow& row) {
        encoded_.clear();
        PutRow(encoded_, row);
        if (earlier_ != nullptr && !IsTheEarlierRow(encoded_)) StopFollowing();
        Keep(encoded_);
        if (earlier_ == nullptr) Take(encoded_);
        ++added_;
    }

    // Whether the rows are all the earlier Save's, and its rows by size are whole to be copied;
    // if not, the rows are summed and sorted from here on.
    bool StillFollowing() {
        if (earlier_ != nullptr &&
            (added_ != earlier_->Rows() || earlierBySize_ == nullptr ||
             earlierBySize_->Rows() != added_ || !earlierBySize_->RowsAreWhole())) {
            StopFollowing();
        }
        return earlier_ != nullptr;
    }

    std::uint32_t RowsChecksum() const {
        return earlier_ != nullptr ? earlier_->RowsChecksum() : rowsChecksum_.Value();
    }
    HashesBySize* EarlierBySize() const { return earlierBySize_; }

    void WriteByEntry(runtime::TextOutput& out, std::size_t rowBytes, std::uint64_t rows) {
        if (!rowsFile_) {
            out.PrintBytes(rowsInMemory_);
            return;
        }
        rowsFile_->Flush();
        std::string window;
        const std::uint64_t total = rows * rowBytes;
        for (std::uint64_t at = 0; at < total; at += kReadWindow) {
            rowsFile_->Read(
                at, static_cast<std::size_t>(std::min<std::uint64_t>(kReadWindow, total - at)),
                window);
            out.PrintBytes(window);
        }
    }

    // Every row by size and hash, in order, told to `each` (the runs merged).
    void ForEachSorted(const std::function<void(const SizeRow&)>& each) {
        if (!sorted_) std::sort(run_.begin(), run_.end());
        sorted_ = true;
        if (runs_.empty()) {
            for (const SizeRow& row : run_) each(row);
            return;
        }
        SpillRun();
        runsFile_->Flush();
        MergeRuns(each);
    }

    void PutSizeRow(std::string& out, const SizeRow& row) const {
        PutFixed<std::uint64_t>(out, row.size);
        out.append(reinterpret_cast<const char*>(row.hash.data()), hashBytes_);
        PutFixed<std::uint64_t>(out, row.entry);
    }

  private:
    struct Run {
        std::uint64_t at;
        std::uint64_t rows;
    };

    void Keep(std::string_view row) {
        if (rowsFile_) {
            rowsFile_->Append(row);
        } else {
            rowsInMemory_ += row;
        }
    }

    // Sums a row and puts it among those to sort by size and hash.
    void Take(std::string_view row) {
        rowsChecksum_.Add(row);
        SizeRow sized;
        sized.size = FixedAt<std::uint64_t>(row, 8);
        std::memcpy(sized.hash.data(), row.data() + kRowFieldsBytes, hashBytes_);
        sized.entry = FixedAt<std::uint64_t>(row, 0);
        run_.push_back(sized);
        if (runsFile_ && run_.size() >= kRunRows) SpillRun();
    }

    bool IsTheEarlierRow(std::string_view row) {
        // Past the earlier rows' end the window is empty: no row is the same.
        const std::size_t rowBytes = row.size();
        if (added_ < earlierFirst_ || added_ >= earlierFirst_ + earlierRows_.size() / rowBytes) {
            earlier_->ReadRows(added_, earlierRows_);
            earlierFirst_ = added_;
        }
        return std::string_view(earlierRows_)
                   .substr((added_ - earlierFirst_) * rowBytes, rowBytes) == row;
    }

    // The rows kept so far were the earlier Save's: they are read back, summed and sorted.
    void StopFollowing() {
        earlier_ = nullptr;
        earlierBySize_ = nullptr;
        std::string().swap(earlierRows_);
        const std::size_t rowBytes = kRowFieldsBytes + hashBytes_;
        const auto takeAll = [this, rowBytes](std::string_view rows) {
            for (std::size_t at = 0; at + rowBytes <= rows.size(); at += rowBytes) {
                Take(rows.substr(at, rowBytes));
            }
        };
        if (!rowsFile_) {
            takeAll(rowsInMemory_);
            return;
        }
        rowsFile_->Flush();
        const std::uint64_t total = added_ * rowBytes;
        const std::size_t window = std::max<std::size_t>(kReadWindow / rowBytes, 1) * rowBytes;
        std::string rows;
        for (std::uint64_t at = 0; at < total; at += window) {
            rowsFile_->Read(
                at, static_cast<std::size_t>(std::min<std::uint64_t>(window, total - at)), rows);
            takeAll(rows);
        }
    }

    void SpillRun() {
        if (run_.empty()) return;
        std::sort(run_.begin(), run_.end());
        // The rows go out as they are held, as Advance reads them back: a copy of a run (2.5 MiB)
        // cost a Save that carries every hash more than its sort.
        const std::string_view bytes(reinterpret_cast<const char*>(run_.data()),
                                     run_.size() * sizeof(SizeRow));
        runs_.push_back({runsFile_->Append(bytes), run_.size()});
        run_.clear();
    }

    // A run read back a window at a time.
    struct RunReader {
        Run run;
        std::string window;
        std::size_t used = 0;
        SizeRow current;
    };

    static bool Advance(const ScratchFile& file, RunReader& reader) {
        if (reader.used == reader.window.size()) {
            if (reader.run.rows == 0) return false;
            const std::uint64_t rows =
                std::min<std::uint64_t>(reader.run.rows, kReadWindow / sizeof(SizeRow));
            file.Read(reader.run.at, static_cast<std::size_t>(rows * sizeof(SizeRow)),
                      reader.window);
            reader.run.at += rows * sizeof(SizeRow);
            reader.run.rows -= rows;
            reader.used = 0;
        }
        std::memcpy(&reader.current, reader.window.data() + reader.used, sizeof(SizeRow));
        reader.used += sizeof(SizeRow);
        return true;
    }

    void MergeRuns(const std::function<void(const SizeRow&)>& each) {
        std::vector<RunReader> readers(runs_.size());
        const auto later = [&readers](std::size_t a, std::size_t b) {
            return readers[b].current < readers[a].current;
        };
        std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> next(later);
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            readers[i].run = runs_[i];
            if (Advance(*runsFile_, readers[i])) next.push(i);
        }
        while (!next.empty()) {
            const std::size_t i = next.top();
            next.pop();
            each(readers[i].current);
            if (Advance(*runsFile_, readers[i])) next.push(i);
        }
    }

    std::size_t hashBytes_;
    runtime::UniqueFd rowsFd_;
    runtime::UniqueFd runsFd_;
    std::optional<ScratchFile> rowsFile_;
    std::optional<ScratchFile> runsFile_;
    std::string rowsInMemory_;
    std::string encoded_;
    RunningChecksum rowsChecksum_;
    std::vector<SizeRow> run_;
    bool sorted_ = false;  // run_ is sorted: the rows are all added
    std::vector<Run> runs_;
    std::uint64_t added_ = 0;
    // While every row is the earlier Save's in the same place: its hashes, a window of its rows
    // from the row at earlierFirst_, and its rows by size.
    const KeptHashes* earlier_ = nullptr;
    std::string earlierRows_;
    std::uint64_t earlierFirst_ = 0;
    HashesBySize* earlierBySize_ = nullptr;
};

HashFileWriter::HashFileWriter(reading::HashAlgorithm algorithm, runtime::UniqueFd rows,
                               runtime::UniqueFd runs)
    : algorithm_(algorithm),
      impl_(std::make_unique<Impl>(reading::HashBytes(algorithm), std::move(rows),
                                   std::move(runs))) {}

HashFileWriter::~HashFileWriter() = default;

void HashFileWriter::Follow(const KeptHashes& earlier, HashesBySize* earlierBySize) {
    if (earlier.Algorithm() == algorithm_) impl_->Follow(earlier, earlierBySize);
}

void HashFileWriter::Add(const HashRow& row) {
    impl_->Add(row);
    ++rows_;
}

void HashFileWriter::Finish(std::uint64_t lines, const SaveIdentity& save,
                            runtime::TextOutput& byEntry, runtime::TextOutput& bySize) {
    const std::size_t hashBytes = reading::HashBytes(algorithm_);
    const std::size_t rowBytes = kRowFieldsBytes + hashBytes;
    const bool following = impl_->StillFollowing();
    byEntry.PrintBytes(Header(kHashesByEntryMagic, algorithm_, rowBytes, rows_, lines, save,
                              impl_->RowsChecksum()));
    impl_->WriteByEntry(byEntry, rowBytes, rows_);
    if (following) {
        const HashesBySize& earlier = *impl_->EarlierBySize();
        bySize.PrintBytes(Header(kHashesBySizeMagic, algorithm_, 16 + hashBytes, rows_, lines, save,
                                 earlier.RowsChecksum()));
        earlier.ForEachWindow([&bySize](std::string_view rows) { bySize.PrintBytes(rows); });
        return;
    }
    // The sorted rows' checksum goes before them: they are merged once to sum them, once to write.
    RunningChecksum sorted;
    std::string bytes;
    impl_->ForEachSorted([&](const SizeRow& row) {
        bytes.clear();
        impl_->PutSizeRow(bytes, row);
        sorted.Add(bytes);
    });
    bySize.PrintBytes(
        Header(kHashesBySizeMagic, algorithm_, 16 + hashBytes, rows_, lines, save, sorted.Value()));
    bytes.clear();
    impl_->ForEachSorted([&](const SizeRow& row) {
        impl_->PutSizeRow(bytes, row);
        if (bytes.size() >= kPendingBytes) {
            bySize.PrintBytes(bytes);
            bytes.clear();
        }
    });
    bySize.PrintBytes(bytes);
}

namespace {

// What the header of a file of hashes says, checked against the file it begins and the Save
// whose record is given.
struct CheckedHeader {
    reading::HashAlgorithm algorithm = reading::HashAlgorithm::kNone;
    std::size_t hashBytes = 0;
    std::size_t rowBytes = 0;
    std::uint64_t rows = 0;
    std::uint32_t rowsChecksum = 0;
};

CheckedHeader CheckHeader(int fd, std::string_view magic, std::size_t fieldsBytes,
                          std::uint64_t lines, const SaveIdentity& save) {
    std::string header(kHashHeaderBytes, '\0');
    if (runtime::ReadAt(fd, 0, header.data(), header.size()) != 0) {
        ThrowDamaged("shorter than its header");
    }
    if (!header.starts_with(magic)) {
        ThrowDamaged(magic == kHashesByEntryMagic ? "not a file of hashes by entry"
                                                  : "not a file of hashes by size");
    }
    if (FixedAt<std::uint32_t>(header, kHeaderChecksumAt) !=
        IndexChecksum(std::string_view(header).substr(0, kHeaderChecksumAt))) {
        ThrowDamaged("its header's checksum");
    }
    CheckedHeader checked;
    checked.algorithm = static_cast<reading::HashAlgorithm>(header[8]);
    checked.hashBytes = reading::HashBytes(checked.algorithm);
    checked.rowBytes = FixedAt<std::uint32_t>(header, 12);
    checked.rows = FixedAt<std::uint64_t>(header, 16);
    checked.rowsChecksum = FixedAt<std::uint32_t>(header, kRowsChecksumAt);
    if (checked.hashBytes == 0 || static_cast<unsigned char>(header[9]) != checked.hashBytes ||
        checked.rowBytes != fieldsBytes + checked.hashBytes) {
        ThrowDamaged("an algorithm it does not name rightly");
    }
    SaveIdentity written;
    std::memcpy(written.bytes.data(), header.data() + 32, written.bytes.size());
    if (FixedAt<std::uint64_t>(header, 24) != lines || !(written == save)) {
        ThrowDamaged("they are another Save's");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) !=
                                     kHashHeaderBytes + checked.rows * checked.rowBytes) {
        ThrowDamaged("a size that is not its rows'");
    }
    return checked;
}

// Every row of a file of hashes, whole rows a window at a time, from its first to its last.
void ForEachRowsWindow(int fd, std::uint64_t rows, std::size_t rowBytes,
                       const std::function<void(std::string_view)>& each) {
    const std::uint64_t total = rows * rowBytes;
    const std::size_t window = std::max<std::size_t>(kReadWindow / rowBytes, 1) * rowBytes;
    std::string bytes;
    for (std::uint64_t at = 0; at < total; at += window) {
        bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(window, total - at)));
        if (runtime::ReadAt(fd, kHashHeaderBytes + at, bytes.data(), bytes.size()) != 0) {
            ThrowDamaged("a row that cannot be read");
        }
        each(bytes);
    }
}

}  // namespace

KeptHashes::KeptHashes(runtime::UniqueFd byEntry, std::uint64_t lines, const SaveIdentity& save,
                       RowsCheck check)
    : fd_(std::move(byEntry)) {
    const CheckedHeader header =
        CheckHeader(fd_.Get(), kHashesByEntryMagic, kRowFieldsBytes, lines, save);
    algorithm_ = header.algorithm;
    hashBytes_ = header.hashBytes;
    rowBytes_ = header.rowBytes;
    rows_ = header.rows;
    rowsChecksum_ = header.rowsChecksum;
    if (check == RowsCheck::kNow) CheckRows();
}

void KeptHashes::CheckRows(const std::atomic<bool>* stop) {
    RunningChecksum checksum;
    std::string rows;
    for (std::uint64_t first = 0; first < rows_; first += rows.size() / rowBytes_) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
        ReadRows(first, rows);
        checksum.Add(rows);
    }
    if (checksum.Value() != rowsChecksum_) ThrowDamaged("its rows' checksum");
    rowsChecked_ = true;
}

void KeptHashes::ReadRows(std::uint64_t first, std::string& bytes) const {
    const std::uint64_t rows = std::min<std::uint64_t>(
        rows_ - std::min(first, rows_), std::max<std::size_t>(kReadWindow / rowBytes_, 1));
    bytes.resize(static_cast<std::size_t>(rows * rowBytes_));
    if (runtime::ReadAt(fd_.Get(), kHashHeaderBytes + first * rowBytes_, bytes.data(),
                        bytes.size()) != 0) {
        ThrowDamaged("a row that cannot be read");
    }
}

struct HashesBySize::Checksum : RunningChecksum {};

HashesBySize::HashesBySize(runtime::UniqueFd bySize, std::uint64_t lines, const SaveIdentity& save)
    : fd_(std::move(bySize)), checksum_(std::make_unique<Checksum>()) {
    const CheckedHeader header = CheckHeader(fd_.Get(), kHashesBySizeMagic, 16, lines, save);
    algorithm_ = header.algorithm;
    hashBytes_ = header.hashBytes;
    rowBytes_ = header.rowBytes;
    rows_ = header.rows;
    rowsChecksum_ = header.rowsChecksum;
}

HashesBySize::~HashesBySize() = default;

bool HashesBySize::RowsAreWhole() const {
    RunningChecksum checksum;
    try {
        ForEachWindow([&checksum](std::string_view rows) { checksum.Add(rows); });
    } catch (const runtime::RuntimeError&) {
        return false;
    }
    return checksum.Value() == rowsChecksum_;
}

void HashesBySize::ForEachWindow(const std::function<void(std::string_view)>& window) const {
    ForEachRowsWindow(fd_.Get(), rows_, rowBytes_, window);
}

std::optional<HashesBySize::Row> HashesBySize::Next() {
    if (used_ == window_.size()) {
        if (next_ == rows_) {
            if (!checked_) {
                checked_ = true;
                if (checksum_->Value() != rowsChecksum_) ThrowDamaged("its rows' checksum");
            }
            return std::nullopt;
        }
        const std::uint64_t rows =
            std::min<std::uint64_t>(rows_ - next_, kReadWindow / rowBytes_ + 1);
        window_.resize(static_cast<std::size_t>(rows * rowBytes_));
        if (runtime::ReadAt(fd_.Get(), kHashHeaderBytes + next_ * rowBytes_, window_.data(),
                            window_.size()) != 0) {
            ThrowDamaged("a row that cannot be read");
        }
        checksum_->Add(window_);
        used_ = 0;
    }
    const std::string_view bytes = std::string_view(window_).substr(used_, rowBytes_);
    used_ += rowBytes_;
    ++next_;
    Row row{FixedAt<std::uint64_t>(bytes, 0), bytes.substr(8, hashBytes_),
            FixedAt<std::uint64_t>(bytes, 8 + hashBytes_)};
    std::memcpy(&row.high, bytes.data() + 8, 8);
    std::memcpy(&row.low, bytes.data() + 16, 8);
    row.high = __builtin_bswap64(row.high);
    row.low = __builtin_bswap64(row.low);
    return row;
}

void KeptHashes::ForEachBlock(const std::function<void(std::string_view)>& block) const {
    ForEachRowsWindow(fd_.Get(), rows_, rowBytes_, block);
}

HashRow KeptHashes::Decode(std::string_view bytes) const {
    HashRow row;
    DecodeInto(bytes, row);
    return row;
}

// Into a row already there, so that its hash's bytes are written where they were.
void KeptHashes::DecodeInto(std::string_view bytes, HashRow& row) const {
    row.entry = FixedAt<std::uint64_t>(bytes, 0);
    row.size = FixedAt<std::uint64_t>(bytes, 8);
    row.device = FixedAt<std::uint64_t>(bytes, 16);
    row.inode = FixedAt<std::uint64_t>(bytes, 24);
    row.modified = FixedAt<std::int64_t>(bytes, 32);
    row.changed = FixedAt<std::int64_t>(bytes, 40);
    row.readAt = FixedAt<std::int64_t>(bytes, 48);
    row.hash.assign(bytes.substr(kRowFieldsBytes, hashBytes_));
}

void KeptHashes::ForEach(const std::function<void(const HashRow&)>& row) const {
    ForEachBlock([&](std::string_view rows) {
        for (std::size_t at = 0; at < rows.size(); at += rowBytes_) {
            row(Decode(rows.substr(at, rowBytes_)));
        }
    });
}

void KeptHashes::InOrder::SkipTo(std::uint64_t row) {
    next_ = std::min(row, hashes_->rows_);
    window_.clear();
    used_ = 0;
    holding_ = false;
}

const HashRow* KeptHashes::InOrder::Peek() {
    if (holding_) return &row_;
    if (next_ == hashes_->rows_) return nullptr;
    if (used_ == window_.size()) {
        const std::uint64_t rows =
            std::min<std::uint64_t>(hashes_->rows_ - next_, kReadWindow / hashes_->rowBytes_ + 1);
        window_.resize(static_cast<std::size_t>(rows * hashes_->rowBytes_));
        if (runtime::ReadAt(hashes_->fd_.Get(), kHashHeaderBytes + next_ * hashes_->rowBytes_,
                            window_.data(), window_.size()) != 0) {
            ThrowDamaged("a row that cannot be read");
        }
        used_ = 0;
    }
    hashes_->DecodeInto(std::string_view(window_).substr(used_, hashes_->rowBytes_), row_);
    used_ += hashes_->rowBytes_;
    ++next_;
    holding_ = true;
    return &row_;
}

const HashRow* KeptHashes::InOrder::Of(std::uint64_t entry) {
    for (const HashRow* row = Peek(); row != nullptr; row = Peek()) {
        if (row->entry >= entry) return row->entry == entry ? row : nullptr;
        Pass();
    }
    return nullptr;
}

const HashRow* KeptHashes::Find(std::uint64_t device, std::uint64_t inode) {
    if (!rowsChecked_) return nullptr;
    // A tree listed again is mostly the same files in the same order: the row after the one found
    // last is tried first, read a window at a time, before any table. Passed, it stays where it
    // was read until the next row is.
    if (const HashRow* next = following_.Peek();
        next != nullptr && next->inode == inode && next->device == device) {
        following_.Pass();
        return next;
    }
    if (!indexed_) {
        indexed_ = true;
        if (rows_ > UINT32_MAX) return nullptr;
        byInode_.reserve(static_cast<std::size_t>(rows_));
        std::uint32_t index = 0;
        ForEachBlock([&](std::string_view rows) {
            for (std::size_t at = 0; at < rows.size(); at += rowBytes_) {
                byInode_.push_back({FixedAt<std::uint64_t>(rows, at + 24), index++});
            }
        });
        std::sort(byInode_.begin(), byInode_.end(),
                  [](const ByInode& a, const ByInode& b) { return a.inode < b.inode; });
    }
    auto at =
        std::lower_bound(byInode_.begin(), byInode_.end(), inode,
                         [](const ByInode& a, std::uint64_t wanted) { return a.inode < wanted; });
    std::string bytes(rowBytes_, '\0');
    for (; at != byInode_.end() && at->inode == inode; ++at) {
        if (runtime::ReadAt(fd_.Get(), kHashHeaderBytes + std::uint64_t{at->row} * rowBytes_,
                            bytes.data(), bytes.size()) != 0) {
            return nullptr;
        }
        DecodeInto(bytes, found_);
        if (found_.device == device) {
            // The rows after it are read in order from here on.
            following_.SkipTo(at->row + std::uint64_t{1});
            return &found_;
        }
    }
    return nullptr;
}

}  // namespace quorvale::catalogue
