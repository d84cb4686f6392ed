// A details line, as a Save with details writes one beside each line of its list files:
// "type\tsize\ttime\tpath" (the type 'd', 'f', 'l' or 'o'; the size in bytes; the modification
// time in UTC, ISO 8601; the full path as the list file writes it). A line that names no entry
// (the root as chosen, a denial) has the three fields empty. The one home of these fields: the
// writer puts them down here, and every reader splits them here.
#pragma once

#include <string>
#include <string_view>

#include "reading/file_system.h"

namespace quorvale::listing {

// Appends `details`' fields to `text`: type, size and time, each followed by a tab.
void AppendDetailsFields(std::string& text, const reading::EntryDetails& details);

// The three fields of a details line, or of its fields alone ("type\tsize\ttime\t"); a field the
// line lacks is empty.
struct DetailsFields {
    std::string_view type;
    std::string_view size;
    std::string_view time;
};
DetailsFields SplitDetails(std::string_view details);

// Where the three fields before a details line's path end: past the tab after the time (the
// line's end when it lacks one).
std::size_t DetailsFieldsEnd(std::string_view details);

}  // namespace quorvale::listing
