#include "listing/list_file_name.h"

namespace quorvale::listing {

std::string ListFileName(int number) {
    return "ListTex" + std::to_string(number) + ".txt";
}

std::string ListFilePath(const std::string& folder, int number) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    return path + ListFileName(number);
}

}  // namespace quorvale::listing
