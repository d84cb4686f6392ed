// A Save without a window, for scripts: the same listing core on the real file system, the same
// list files a first Save in a fresh window writes, and the outcome as shell tools give it.
#pragma once

#include <optional>
#include <string>

#include "reading/file_system.h"
#include "reading/listing_options.h"
#include "runtime/runtime_services.h"

namespace quorvale::app {

inline constexpr int kSavedComplete = 0;
inline constexpr int kSavedIncomplete = 1;  // some folders denied or left out, each on stderr
inline constexpr int kNotSaved = 2;

// Where a Save may take the folders that have not changed since an earlier listing (--reuse).
struct ReuseChoice {
    std::optional<std::string> listing;  // the earlier listing's list folder; none: read all
    bool trustFileSystem = false;        // --reuse-trust
};

// Lists `folder` into ListTex1.txt, ... of the runtime's list folder. Prints the status text on
// stdout, failures on stderr, and (when stderr is a terminal) a progress line. SIGINT, SIGTERM
// and SIGHUP stop it with no part-written file left; it then returns 128 + the signal's number.
// `options` say what the walk leaves out. With `reuse`, a listing that may not be reused (see
// catalogue::WhyNotReused) is named on stderr with the reason, once, and every folder is read;
// one in the list folder being written is refused with 2 before anything is written.
int RunHeadlessSave(const std::string& folder, runtime::RuntimeServices& runtime,
                    const reading::ListingOptions& options = {}, const ReuseChoice& reuse = {});
// The same on a given file system (`folder` must still be a folder on the real one).
int RunHeadlessSave(const std::string& folder, runtime::RuntimeServices& runtime,
                    reading::FileSystem& fileSystem, const reading::ListingOptions& options = {},
                    const ReuseChoice& reuse = {});

}  // namespace quorvale::app
