// The one home of the list files' names: "ListTex" + number + ".txt" in the list folder.
#pragma once

#include <cstdint>
#include <string>

namespace quorvale::listing {

// "ListTex<number>.txt".
std::string ListFileName(int number);

// `folder` + "/" + ListFileName(number); no separator is doubled after "/".
std::string ListFilePath(const std::string& folder, int number);

}  // namespace quorvale::listing
