#include "listing/list_file_name.h"

#include "listing/file_system.h"
#include "runtime/text_output.h"

namespace quorvale::listing {

std::string ListFileName(int number) {
    return "ListTex" + std::to_string(number) + ".txt";
}

std::string ListFilePath(const std::string& folder, int number) {
    return JoinPath(folder, ListFileName(number));
}

std::string SavedStatus(int lastFile) {
    return "ListTex 1 To " + std::to_string(lastFile) + " Saved";
}

bool IsLeftoverListFile(std::string_view name) {
    constexpr std::string_view kPrefix = ".ListTex";
    if (name.substr(0, kPrefix.size()) != kPrefix) return false;
    const auto marker = name.find(runtime::kTempMarker);
    return marker != std::string_view::npos && name.substr(0, marker).ends_with(".txt");
}

}  // namespace quorvale::listing
