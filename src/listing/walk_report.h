// What a walk tells of the folders it could not list whole.
#pragma once

#include <string>

namespace quorvale::listing {

// A folder a walk left out or cut short, with the reason.
struct IncompleteFolder {
    std::string path;
    std::string reason;
};

}  // namespace quorvale::listing
