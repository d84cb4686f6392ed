#include "listing/details_line.h"

#include <algorithm>

#include "runtime/utc_time.h"

namespace quorvale::listing {

void AppendDetailsFields(std::string& text, const reading::EntryDetails& details) {
    text += details.type;
    text += '\t';
    text += std::to_string(details.size);
    text += '\t';
    runtime::AppendUtcTime(text, details.modified);
    text += '\t';
}

DetailsFields SplitDetails(std::string_view details) {
    DetailsFields split;
    std::string_view* fields[] = {&split.type, &split.size, &split.time};
    for (std::string_view* field : fields) {
        const std::size_t tab = std::min(details.find('\t'), details.size());
        *field = details.substr(0, tab);
        details.remove_prefix(std::min(tab + 1, details.size()));
    }
    return split;
}

std::size_t DetailsFieldsEnd(std::string_view details) {
    std::size_t at = 0;
    for (int field = 0; field < 3 && at != std::string_view::npos; ++field) {
        at = details.find('\t', at);
        if (at != std::string_view::npos) ++at;
    }
    return at == std::string_view::npos ? details.size() : at;
}

}  // namespace quorvale::listing
