#include "listing/list_file_name.h"

#include "reading/file_system.h"
#include "runtime/text_output.h"

namespace quorvale::listing {

namespace {

constexpr std::string_view kListFilePrefix = "ListTex";
constexpr std::string_view kListFileSuffix = ".txt";
constexpr std::string_view kDetailsFileSuffix = ".tsv";

// The number in "ListTex<number>" + `suffix`, or 0.
int NumberOf(std::string_view name, std::string_view suffix) {
    if (!name.starts_with(kListFilePrefix) || !name.ends_with(suffix)) return 0;
    const std::string_view digits =
        name.substr(kListFilePrefix.size(), name.size() - kListFilePrefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 5 || digits[0] == '0') return 0;
    int number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

}  // namespace

std::string ListFileName(int number) {
    return std::string(kListFilePrefix) + std::to_string(number) + std::string(kListFileSuffix);
}

std::string ListFilePath(const std::string& folder, int number) {
    return runtime::JoinPath(folder, ListFileName(number));
}

std::string SavedStatus(int lastFile) {
    return "ListTex 1 To " + std::to_string(lastFile) + " Saved";
}

int ListFileNumberOf(std::string_view name) {
    return NumberOf(name, kListFileSuffix);
}

std::string DetailsFileName(int number) {
    return std::string(kListFilePrefix) + std::to_string(number) + std::string(kDetailsFileSuffix);
}

int DetailsFileNumberOf(std::string_view name) {
    return NumberOf(name, kDetailsFileSuffix);
}

bool IsLeftoverListFile(std::string_view name) {
    if (!name.starts_with('.')) return false;
    const auto marker = name.find(runtime::kTempMarker);
    if (marker == std::string_view::npos) return false;
    const std::string_view final = name.substr(1, marker - 1);
    return ListFileNumberOf(final) != 0 || DetailsFileNumberOf(final) != 0 ||
           final == kRecordName || final == kIndexName || final == kHashesByEntryName ||
           final == kHashesBySizeName || final == kSizesName;
}

}  // namespace quorvale::listing
