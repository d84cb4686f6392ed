// The command line, read from the bytes of argv as given: option values and the folder keep
// every byte, also where they are not UTF-8. Plain C++: reading it starts nothing, so --help,
// --version, --save and a wrong option never need a display.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/duplicates_command.h"
#include "app/export_command.h"
#include "app/find_command.h"
#include "app/sizes_command.h"
#include "app/verify_command.h"
#include "reading/content_hash.h"

namespace quorvale::app {

struct CommandLine {
    enum class Action {
        kWindow,
        kSave,
        kCompare,
        kFind,
        kExport,
        kVerify,
        kDuplicates,
        kSizes,
        kListings,
        kNote,
        kForget,
        kHelp,
        kVersion,
        kWrong
    };
    Action action = Action::kWindow;
    std::string folder;  // the folder to list (--save) or to choose at start (empty: none)
    std::optional<std::string> listFolder;    // --list-folder, when given
    std::vector<std::string> toolkitOptions;  // the window toolkit's own, such as -style Fusion
    bool oneFileSystem = false;               // --one-file-system (with --save)
    std::vector<std::string> excludes;        // each --exclude (with --save)
    bool details = false;                     // --details (with --save)
    reading::HashAlgorithm hash = reading::HashAlgorithm::kNone;  // --hash[=ALGORITHM] (--save)
    reading::ReadOrder readOrder = reading::ReadOrder::kAsTheDiskWants;  // --read-order (--hash)
    std::optional<std::string> reuse;   // --reuse OLD (with --save); "": the drive's latest listing
    bool reuseTrust = false;            // --reuse-trust (with --reuse)
    std::vector<std::string> compared;  // kCompare: the old and the new list folder
    FindRequest find;                   // kFind: what to find, where and how to print it
    ExportCommand exported;             // kExport: which listing, in which format
    VerifyRequest verify;               // kVerify: which listing, read from where
    DuplicatesRequest duplicates;       // kDuplicates: which question, asked of which listings
    SizesRequest sizes;                 // kSizes: which listing, below which folder, how printed
    std::vector<std::string> listingFolders;  // kListings: where to look (none: the default places)
    std::string listing;                      // kNote, kForget: the listing
    std::string note;                         // kNote: the text
    std::string wrong;                        // kWrong: the one line that says why
};

// Reads argv[1..argc-1]. `--opt VALUE` and `--opt=VALUE` alike; `--` ends the options. An empty,
// missing or repeated value, a second folder, an unknown option or a toolkit option with --save is
// kWrong, and so are --one-file-system, --exclude, --details or --reuse without --save,
// --reuse-trust without --reuse, --compare with
// anything but its two list folders, --export with anything but its format, its listing and -0,
// --listings, --note or --forget with another option, and --find with anything but its pattern
// (given with it or as its first argument that is no option), the folders to search and its own
// options (-b, -i, -0, -c, -l N, --all, --where, --long, -h, --size, --newer, --older, --type),
// which it alone takes; --duplicates, --only-in and --also-in likewise with the folders to look
// in and their options (-0, -c, -h, --all, --min-size); --sizes with its listing, a folder of it
// and its options (-d N, -h, -b, --apparent-size, --sort, -0). --help and --version end the reading
// where they stand.
CommandLine ReadCommandLine(int argc, const char* const argv[]);

}  // namespace quorvale::app
