// The one home of the list files' names: "ListTex" + number + ".txt" in the list folder, and of
// what a Save reports about them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::listing {

// "ListTex<number>.txt".
std::string ListFileName(int number);

// `folder` + "/" + ListFileName(number); no separator is doubled after "/".
std::string ListFilePath(const std::string& folder, int number);

// What a Save reports when it has saved ListTex1.txt up to `lastFile`, and when it has not.
std::string SavedStatus(int lastFile);
inline constexpr std::string_view kNotSavedStatus = "Not Saved";

// Whether `name` is the temporary file of a list file's write that never finished (the program was
// killed): "." + "ListTex<number>.txt" + the temporary marker + a suffix.
bool IsLeftoverListFile(std::string_view name);

}  // namespace quorvale::listing
