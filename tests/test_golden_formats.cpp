// The bytes that kept listings hold, pinned: an index and a record of a tiny listing, spelled out
// byte by byte. Every listing a user keeps was written in these formats; a change that alters a
// byte of them unnoticed makes every kept listing unreadable or, worse, misread. A change of a
// format on purpose updates these bytes on purpose, and says which bytes changed and why.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "catalogue/hash_file.h"
#include "catalogue/index_format.h"
#include "catalogue/index_writer.h"
#include "catalogue/listing_record.h"
#include "catalogue/size_file.h"
#include "support/bytes_output.h"

namespace quorvale::test {
namespace {

// `bytes` as rows of 16 bytes in hexadecimal, one row a line.
std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
        hex += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return hex;
}

template <typename Number>
Number At(std::string_view bytes, std::size_t at) {
    Number value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// The tiny listing's index, part by part, as the worked example of the index's format describes it.
constexpr const char* kTinyIndex[] = {
    // header: "QVIDX003"; lines 6; bytes 52; entries 5; blocks 1, trigrams 17; the block table at
    // 158; the trigram table at 178; the file's size 595; folders 2; the folder table at 574;
    // folder frames 1, the cut-short list's checksum; the cut-short list at 594; the Save's
    // identity; the header's checksum; 0.
    "51 56 49 44 58 30 30 33", "06 00 00 00 00 00 00 00", "34 00 00 00 00 00 00 00",
    "05 00 00 00 00 00 00 00", "01 00 00 00 11 00 00 00", "9e 00 00 00 00 00 00 00",
    "b2 00 00 00 00 00 00 00", "53 02 00 00 00 00 00 00", "02 00 00 00 00 00 00 00",
    "3e 02 00 00 00 00 00 00", "01 00 00 00 60 0a 62 29", "52 02 00 00 00 00 00 00",
    "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af", "20 3d 7e a4 00 00 00 00",
    // block 0: a zstd frame of one raw block of 29 bytes: "/d" (0 shared, 2 << 3 | 1 << 1 | 1: a
    // folder), "/a.txt" after 2 shared (a file), "Sub" after 3 (a folder), "/x\u240Ay" after 6,
    // "to" after 7 (kind 2: a link).
    "28 b5 2f fd 20 1d e9 00 00", "00 13 2f 64", "02 32 2f 61 2e 74 78 74", "03 1b 53 75 62",
    "06 32 2f 78 e2 90 8a 79", "07 14 74 6f",
    // block table: block 0 at 120, its checksum; it ends at 158.
    "78 00 00 00 00 00 00 00 4a 23 36 16", "9e 00 00 00 00 00 00 00",
    // trigram table, by trigram (folded, as u32): trigram, its list's checksum, where its list
    // begins, the row's checksum; then where the last list ends.
    "78 74 2e 00 93 0a 62 29 0e 02 00 00 00 00 00 00 ca 10 1e b9",
    "2e 61 2f 00 93 0a 62 29 0f 02 00 00 00 00 00 00 6f c6 f4 3a",
    "2f 64 2f 00 93 0a 62 29 10 02 00 00 00 00 00 00 95 56 4a 3d",
    "75 73 2f 00 93 0a 62 29 11 02 00 00 00 00 00 00 8a b6 43 ba",
    "6f 74 2f 00 93 0a 62 29 12 02 00 00 00 00 00 00 93 4c 1c 90",
    "e2 78 2f 00 93 0a 62 29 13 02 00 00 00 00 00 00 e1 be ce b7",
    "74 2e 61 00 93 0a 62 29 14 02 00 00 00 00 00 00 c0 8a 35 ad",
    "74 2f 62 00 93 0a 62 29 15 02 00 00 00 00 00 00 4b 74 8f 92",
    "78 2f 62 00 93 0a 62 29 16 02 00 00 00 00 00 00 94 9f 21 0e",
    "61 2f 64 00 93 0a 62 29 17 02 00 00 00 00 00 00 4c 8b 18 62",
    "73 2f 64 00 93 0a 62 29 18 02 00 00 00 00 00 00 7a 9a 1b fa",
    "62 75 73 00 93 0a 62 29 19 02 00 00 00 00 00 00 ea 33 fa 83",
    "74 78 74 00 93 0a 62 29 1a 02 00 00 00 00 00 00 49 b7 40 b1",
    "2f 62 75 00 93 0a 62 29 1b 02 00 00 00 00 00 00 38 dc 87 2e",
    "90 e2 78 00 93 0a 62 29 1c 02 00 00 00 00 00 00 40 e0 3e 19",
    "79 8a 90 00 93 0a 62 29 1d 02 00 00 00 00 00 00 db 6c bf ca",
    "8a 90 e2 00 93 0a 62 29 1e 02 00 00 00 00 00 00 67 6e f2 4e", "1f 02 00 00 00 00 00 00",
    // posting lists: each trigram's only block, 0.
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
    // folder frame 0: a zstd frame of one raw block of 22 bytes: "/d" at entry 0, no parent,
    // stamped: device 0x801, inode 2, modified 10^9, changed -1 and read at 3 as zigzag varints,
    // its name "d"; "Sub" at entry 2, its parent the folder before, not stamped.
    "28 b5 2f fd 20 16 b1 00 00", "00 00 01 82 20 04 80 a8 d6 b9 07 01 06 01 64",
    "02 01 00 03 53 75 62",
    // folder table: frame 0 at 543, its checksum; it ends at 574.
    "1f 02 00 00 00 00 00 00 36 76 32 76", "3e 02 00 00 00 00 00 00",
    // cut-short list: folder 1.
    "01"};

// The bytes of hexadecimal rows such as those above.
std::string FromHex(const char* const* rows, std::size_t count) {
    std::string bytes;
    for (std::size_t row = 0; row < count; ++row) {
        for (const char* at = rows[row]; *at != '\0';) {
            if (*at == ' ') {
                ++at;
                continue;
            }
            bytes += static_cast<char>(std::stoi(std::string(at, 2), nullptr, 16));
            at += 2;
        }
    }
    return bytes;
}

catalogue::SaveIdentity PinnedIdentity() {
    catalogue::SaveIdentity identity;
    for (std::size_t i = 0; i < identity.bytes.size(); ++i) {
        identity.bytes[i] = static_cast<unsigned char>(0xA0 + i);
    }
    return identity;
}

// The tiny listing of the index's worked example: a root, a file, a folder below it cut short by
// a name holding the sign of a line break, and a link.
std::string TinyIndex() {
    catalogue::IndexWriter builder;
    reading::FolderStamp stamp;
    stamp.known = true;
    stamp.device = 0x801;
    stamp.inode = 2;
    stamp.modified = 1'000'000'000;
    stamp.changed = -1;
    stamp.readAt = 3;
    builder.Add("/d", true, 'd', stamp);
    builder.Add("/d/a.txt", false, 'f');
    builder.Add("/d/Sub", true, 'd');
    builder.Add("/d/Sub/x\xE2\x90\x8Ay", false, 'f');
    builder.Add("/d/Sub/to", false, 'l');
    return builder.Finish(6, 52, PinnedIdentity());
}

TEST(GoldenIndex, HeaderSaysWhereEachPartLiesFieldByField) {
    const std::string index = TinyIndex();
    ASSERT_GE(index.size(), catalogue::kIndexHeaderBytes);
    EXPECT_EQ(index.substr(0, 8), "QVIDX003");
    EXPECT_EQ(At<std::uint64_t>(index, 8), 6u);    // lines of the list files
    EXPECT_EQ(At<std::uint64_t>(index, 16), 52u);  // their bytes
    EXPECT_EQ(At<std::uint64_t>(index, 24), 5u);   // entries
    EXPECT_EQ(At<std::uint32_t>(index, 32), 1u);   // blocks
    EXPECT_EQ(At<std::uint64_t>(index, 56), index.size());
    EXPECT_EQ(At<std::uint64_t>(index, 64), 2u);  // folders
    EXPECT_EQ(At<std::uint32_t>(index, 80), 1u);  // folder frames
    EXPECT_EQ(index.substr(96, 16),
              std::string(reinterpret_cast<const char*>(PinnedIdentity().bytes.data()), 16));
    EXPECT_EQ(At<std::uint32_t>(index, 116), 0u);
    // The cut-short list is its last bytes: folder 1, the one whose file's name holds a sign.
    EXPECT_EQ(index.substr(At<std::uint64_t>(index, 88)), std::string(1, '\x01'));
}

// How many entries a block holds and how many folders a frame: 1024 folders make two blocks of
// 512 entries and one frame of 1024 folders, whatever else changes.
TEST(GoldenIndex, BlocksHold512EntriesAndFramesHold1024Folders) {
    catalogue::IndexWriter writer;
    for (int folder = 0; folder < 1024; ++folder) {
        writer.Add("/f" + std::to_string(1000 + folder), true, 'd');
    }
    const std::string index = writer.Finish(1025, 9000, PinnedIdentity());
    EXPECT_EQ(At<std::uint64_t>(index, 24), 1024u);  // entries
    EXPECT_EQ(At<std::uint32_t>(index, 32), 2u);     // blocks
    EXPECT_EQ(At<std::uint64_t>(index, 64), 1024u);  // folders
    EXPECT_EQ(At<std::uint32_t>(index, 80), 1u);     // folder frames
}

TEST(GoldenIndex, EveryByteOfTheTinyListingsIndexIsPinned) {
    EXPECT_EQ(Hex(TinyIndex()), Hex(FromHex(kTinyIndex, std::size(kTinyIndex))));
}

// A record of every field, a root of odd bytes among them (a byte not of UTF-8 as \\udcXX, a
// control byte as \\u00XX).
constexpr std::string_view kRecord = R"({
  "program": "quorvale",
  "format": 1,
  "version": "9.8",
  "root": "/media/disk/café \udcff\"\\\u0009",
  "started": "2026-01-02T03:04:05Z",
  "ended": "2026-01-02T03:04:06Z",
  "host": "host",
  "fileSystem": {
    "type": "ext4",
    "device": "8:1",
    "source": "/dev/sdb1",
    "uuid": "1234-ABCD",
    "label": "DISK",
    "mountPoint": "/media/disk",
    "model": "Stick",
    "identifiedBy": "blkid",
    "fsid": "0123456789abcdef",
    "capacity": 1000000000,
    "available": 250000000
  },
  "listFiles": {
    "first": 1,
    "last": 2,
    "bytes": 900000
  },
  "lines": 32001,
  "linesWithTheSign": 0,
  "complete": false,
  "denied": {
    "count": 2,
    "first": [
      {
        "path": "/media/disk/lost+found",
        "reason": "Permission denied"
      }
    ]
  },
  "incomplete": {
    "count": 1,
    "first": [
      {
        "path": "/media/disk/gone",
        "reason": "No such file or directory"
      }
    ]
  },
  "notEntered": [
    "/media/disk/proc"
  ],
  "options": {
    "oneFileSystem": true,
    "exclude": [
      "*.tmp"
    ],
    "details": true
  },
  "user": {
    "id": 1000,
    "groups": [
      24,
      1000
    ]
  },
  "notOfThisListing": [
    "ListTex7.txt"
  ],
  "index": {
    "name": "quorvale-index.bin",
    "bytes": 1032,
    "save": "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
  },
  "reuse": {
    "listing": "/home/u/old",
    "foldersReused": 10,
    "foldersRead": 2
  },
  "hashes": {
    "algorithm": "xxh3",
    "byEntry": "quorvale-hashes.bin",
    "bySize": "quorvale-hashes-by-size.bin",
    "files": 5,
    "carried": 3,
    "bytesRead": 1000,
    "notHashed": {
      "count": 1,
      "first": [
        {
          "path": "/media/disk/x",
          "reason": "changed while hashed"
        }
      ]
    }
  }
}
)";

TEST(GoldenRecord, EveryByteOfARecordIsPinned) {
    catalogue::ListingRecord record;
    record.version = "9.8";
    record.root = "/media/disk/caf\xC3\xA9 \xFF\"\\\t";
    record.started = "2026-01-02T03:04:05Z";
    record.ended = "2026-01-02T03:04:06Z";
    record.host = "host";
    record.fileSystem = {"ext4",        "8:1",      "/dev/sdb1", "1234-ABCD",
                         "DISK",        "Stick",    "blkid",     "0123456789abcdef",
                         "/media/disk", 1000000000, 250000000};
    record.firstListFile = 1;
    record.lastListFile = 2;
    record.lines = 32001;
    record.linesWithTheSign = 0;
    record.bytes = 900000;
    record.complete = false;
    record.deniedCount = 2;
    record.denied = {{"/media/disk/lost+found", "Permission denied"}};
    record.incompleteCount = 1;
    record.incomplete = {{"/media/disk/gone", "No such file or directory"}};
    record.notEntered = {"/media/disk/proc"};
    record.options.details = true;
    record.options.oneFileSystem = true;
    record.options.excludes = {"*.tmp"};
    record.notOfThisListing = {"ListTex7.txt"};
    record.indexName = "quorvale-index.bin";
    record.indexBytes = 1032;
    record.indexSave = PinnedIdentity();
    record.user = catalogue::ListingRecord::User{1000, {24, 1000}};
    record.reuse = {"/home/u/old", 10, 2};
    record.options.hash = reading::HashAlgorithm::kXxh3;
    record.hashes = catalogue::ListingRecord::Hashes{reading::HashAlgorithm::kXxh3,
                                                     "quorvale-hashes.bin",
                                                     "quorvale-hashes-by-size.bin",
                                                     5,
                                                     3,
                                                     1000,
                                                     1,
                                                     {{"/media/disk/x", "changed while hashed"}}};
    const std::string text = catalogue::RecordText(record);
    EXPECT_EQ(text, kRecord);

    // And it reads back as written.
    std::string why;
    const std::optional<catalogue::ListingRecord> back = catalogue::ReadRecord(text, why);
    ASSERT_TRUE(back) << why;
    // All but what only a person reads (the version, the start, the device number of a drive
    // that may be plugged in elsewhere, which folders were left out: only how many), which are
    // left empty.
    catalogue::ListingRecord expected = record;
    expected.version.clear();
    expected.started.clear();
    expected.fileSystem.device.clear();
    expected.denied.clear();
    expected.incomplete.clear();
    expected.notEntered.clear();
    expected.notOfThisListing.clear();
    expected.reuse = {};
    expected.hashes->notHashed.clear();
    EXPECT_EQ(catalogue::RecordText(*back), catalogue::RecordText(expected));
}

// The hashes of the worked example of their format: one file, entry 2, of list files of 4 lines.
constexpr const char* kHashesByEntry[] = {
    // "QVHSH001"; XXH3-128, 16 bytes a hash, 0, rows of 72 bytes; 1 row; 4 lines
    "51 56 48 53 48 30 30 31 01 10 00 00 48 00 00 00",
    "01 00 00 00 00 00 00 00 04 00 00 00 00 00 00 00",
    // the Save's identity
    "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af",
    // the rows' checksum, 0, the header's checksum, 0
    "3e 36 64 3b 00 00 00 00 65 d4 a8 33 00 00 00 00",
    // entry 2, size 3, device 0x801, inode 12
    "02 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00",
    "01 08 00 00 00 00 00 00 0c 00 00 00 00 00 00 00",
    // modified 10^9, changed 10^9 + 5, read at 2 * 10^9
    "00 ca 9a 3b 00 00 00 00 05 ca 9a 3b 00 00 00 00",
    "00 94 35 77 00 00 00 00",
    // the hash
    "9d 7d 4b 5b 4c 1c ae 5b 0e 5e 7b 3e 1a 0b 1b 36",
};

// The same by size and hash: its own magic, rows of 32 bytes; the row is size, hash, entry.
constexpr const char* kHashesBySize[] = {
    "51 56 48 53 5a 30 30 31 01 10 00 00 20 00 00 00",
    "01 00 00 00 00 00 00 00 04 00 00 00 00 00 00 00",
    "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af",
    "76 57 d2 f4 00 00 00 00 13 27 37 7c 00 00 00 00",
    "03 00 00 00 00 00 00 00",
    "9d 7d 4b 5b 4c 1c ae 5b 0e 5e 7b 3e 1a 0b 1b 36",
    "02 00 00 00 00 00 00 00",
};

TEST(GoldenHashes, EveryByteOfBothHashFilesIsPinned) {
    catalogue::HashFileWriter writer(reading::HashAlgorithm::kXxh3, runtime::UniqueFd(),
                                     runtime::UniqueFd());
    const char* const hash[] = {kHashesByEntry[std::size(kHashesByEntry) - 1]};
    const catalogue::HashRow row{
        2, 3, 0x801, 12, 1'000'000'000, 1'000'000'005, 2'000'000'000, FromHex(hash, 1)};
    writer.Add(row);
    BytesOutput byEntry;
    BytesOutput bySize;
    writer.Finish(4, PinnedIdentity(), byEntry, bySize);
    EXPECT_EQ(Hex(byEntry.bytes), Hex(FromHex(kHashesByEntry, std::size(kHashesByEntry))));
    EXPECT_EQ(Hex(bySize.bytes), Hex(FromHex(kHashesBySize, std::size(kHashesBySize))));
}

// The sizes of the worked example of their format: a folder "/d" holding a file of 3 bytes, of list
// files of 3 lines.
constexpr const char* kSizes[] = {
    // "QVSIZ001"; 2 entries; 1 folder; 3 lines; the Save's identity
    "51 56 53 49 5a 30 30 31 02 00 00 00 00 00 00 00",
    "01 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00",
    "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af",
    // the root's 4099 bytes and 16 blocks, each file once; the entry table at 118, the folder
    // rows at 138; the size 182; the entry table's checksum, the header's
    "03 10 00 00 00 00 00 00 10 00 00 00 00 00 00 00",
    "76 00 00 00 00 00 00 00 8a 00 00 00 00 00 00 00",
    "b6 00 00 00 00 00 00 00 b1 c3 9c 9b 4b c9 1f 5e",
    // entry frame 0, a zstd frame of one raw block of 13 bytes: 4096 bytes, 8 blocks, 2 links,
    // modified 10^9; 3 bytes, 8 blocks, 1 link, 2 seconds after
    "28 b5 2f fd 20 0d 69 00 00 80 20 08 02 80 a8 d6 b9 07",
    "03 08 01 04",
    // the entry table: frame 0 at 96, its checksum; it ends at 118
    "60 00 00 00 00 00 00 00 99 95 34 54 76 00 00 00 00 00 00 00",
    // the folder: entry 0, 4099 bytes, 16 blocks, 1 file, no folder below
    "00 00 00 00 00 00 00 00 03 10 00 00 00 00 00 00 10 00 00 00 00 00 00 00",
    "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
    // the checksum of the one chunk of folder rows
    "14 d0 3c c4",
};

TEST(GoldenSizes, EveryByteOfTheSizesFileIsPinned) {
    catalogue::SizesWriter writer;
    reading::EntryDetails folder;
    folder.type = 'd';
    folder.size = 4096;
    folder.blocks = 8;
    folder.links = 2;
    folder.modified = 1'000'000'000;
    reading::EntryDetails file;
    file.type = 'f';
    file.size = 3;
    file.blocks = 8;
    file.modified = 1'000'000'002;
    writer.Add("/d", true, &folder);
    writer.Add("/d/a", false, &file);
    BytesOutput out;
    const std::uint64_t size = writer.Finish(3, PinnedIdentity(), out);
    EXPECT_EQ(size, out.bytes.size());
    EXPECT_EQ(Hex(out.bytes), Hex(FromHex(kSizes, std::size(kSizes))));
}

}  // namespace
}  // namespace quorvale::test
