// The one home of the names of what a Save writes into the list folder: the list files
// "ListTex" + number + ".txt", the record of the listing, and what a Save reports about them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::listing {

// "ListTex<number>.txt".
std::string ListFileName(int number);

// `folder` + "/" + ListFileName(number); no separator is doubled after "/".
std::string ListFilePath(const std::string& folder, int number);

// The longest line a Save writes into a list or details file (its CR LF not counted), and the
// longest a reader of kept listings takes: a folder whose line would be longer (a path of
// millions of bytes, far past any path limit) is left out of the listing as incomplete.
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

// The record of the last complete Save in the list folder, and where a Save moves an earlier one
// before it replaces the first list file.
inline constexpr std::string_view kRecordName = "quorvale-listing.json";
inline constexpr std::string_view kPreviousRecordName = "quorvale-listing.previous.json";
// The index of the listing's entries a search reads instead of the list files, named in the
// record, and where a Save moves an earlier one, as it moves the record.
inline constexpr std::string_view kIndexName = "quorvale-index.bin";
inline constexpr std::string_view kPreviousIndexName = "quorvale-index.previous.bin";
// The content hashes of a Save with hashes, by entry and by size and hash, named in the record,
// and where a Save moves earlier ones.
inline constexpr std::string_view kHashesByEntryName = "quorvale-hashes.bin";
inline constexpr std::string_view kHashesBySizeName = "quorvale-hashes-by-size.bin";
inline constexpr std::string_view kPreviousHashesByEntryName = "quorvale-hashes.previous.bin";
inline constexpr std::string_view kPreviousHashesBySizeName =
    "quorvale-hashes-by-size.previous.bin";
// The sizes of a Save with details (each entry's, and each folder's totals), named in the record,
// and where a Save moves an earlier one.
inline constexpr std::string_view kSizesName = "quorvale-sizes.bin";
inline constexpr std::string_view kPreviousSizesName = "quorvale-sizes.previous.bin";

// "ListTex<number>.tsv": the details of the list file of that number, line for line.
std::string DetailsFileName(int number);

// The number of the details file named `name`, or 0 when `name` is not one.
int DetailsFileNumberOf(std::string_view name);

// The number of the list file named `name` ("ListTex<number>.txt", number from 1, no leading
// zero), or 0 when `name` is not one.
int ListFileNumberOf(std::string_view name);

// What a Save reports when it has saved ListTex1.txt up to `lastFile`, and when it has not.
std::string SavedStatus(int lastFile);
inline constexpr std::string_view kNotSavedStatus = "Not Saved";

// Whether `name` is the temporary file of a write of a list file, the record or the index that
// never finished (the program was killed): "." + the final name + the temporary marker + a suffix.
bool IsLeftoverListFile(std::string_view name);

}  // namespace quorvale::listing
