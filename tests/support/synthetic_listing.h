// A listing written as a Save writes one, without a tree behind it: for tests of reading kept
// listings back at sizes no test tree has.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/listing_record.h"
#include "listing/list_file_name.h"
#include "support/test_support.h"

namespace quorvale::test {

// Writes a listing of `root` as a Save would: its folder line, then one folder line per 100 files,
// every `skip`-th file left out (none when 0), split every 32000 lines, and its record.
inline void WriteListing(const std::string& folder, const std::string& root, int files, int skip) {
    MakeFolder(folder);
    catalogue::ListingRecord record;
    record.root = root;
    int number = 1;
    std::string text;
    std::uint64_t lines = 0;
    const auto add = [&](const std::string& line) {
        text += line;
        text += "\r\n";
        if (++lines % 32000 == 0) {
            MakeFile(folder + "/" + listing::ListFileName(number++), text);
            record.bytes += text.size();
            text.clear();
        }
    };
    add(root);
    add("\t" + root);
    for (int i = 0; i < files; ++i) {
        if (i % 100 == 0) add("\t" + root + "/d" + std::to_string(100000 + i / 100));
        if (skip == 0 || i % skip != 0) add("\t\tfile" + std::to_string(1000000 + i));
    }
    if (!text.empty()) {
        MakeFile(folder + "/" + listing::ListFileName(number++), text);
        record.bytes += text.size();
    }
    record.lastListFile = number - 1;
    record.lines = lines;
    MakeFile(folder + "/" + std::string(listing::kRecordName), catalogue::RecordText(record));
}

}  // namespace quorvale::test
