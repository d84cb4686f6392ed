// The catalogue from the command line: a Save kept there (a Save without --list-folder), what it
// keeps (--listings), a drive's note (--note), forgetting a listing (--forget), and a listing or
// drive named as a person knows it ("PHOTOS") where a path is asked for.
#pragma once

#include <string>
#include <vector>

#include "app/headless_save.h"
#include "reading/listing_options.h"
#include "runtime/runtime_services.h"

namespace quorvale::app {

// Lists `folder` into a new generation of its drive's place in the catalogue, which becomes the
// drive's latest once the Save wrote its record (exit 0 or 1); a failed Save leaves nothing. With
// `reuseLatest` the place's latest listing is reused (none the first time: every folder is read).
// Without a home (no catalogue) the Save writes into `fallback`.
int RunCatalogueSave(const std::string& folder, const reading::ListingOptions& options,
                     ReuseChoice reuse, bool reuseLatest,
                     const runtime::ListFileFolderChoice& fallback);

// Where a search looks when no folder is given: the catalogue and `windowFolder` (where the
// window's Saves write).
std::vector<std::string> DefaultPlaces(const std::string& windowFolder);

// `given` when it names something on disk; otherwise the latest listings of the drives in the
// catalogue it names ("PHOTOS"); `given` itself when it names none.
std::vector<std::string> ListingsByPathOrName(const std::string& given);

// One listing: `given` as above, when it names one. Throws runtime::RuntimeError when it names
// several drives' listings.
std::string ListingByPathOrName(const std::string& given);

// One line per kept listing in `folders` (every one, newest first): the drive, the root, when it
// was saved, lines, complete or not and why, the drive's size and free space then, the listing's
// size on disk, details or not, the drive's note, and the list folder. 0, or 2 when nothing can be
// read.
int RunListings(const std::vector<std::string>& folders, bool defaults);

// Keeps `text` as the note of the drive `listing` is of; 0, or 2.
int RunNote(const std::string& listing, const std::string& text);

// Removes the kept listing `listing` whole; 0, or 2.
int RunForget(const std::string& listing);

}  // namespace quorvale::app
