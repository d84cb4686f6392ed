// The --help text: what every option does, the files a Save writes, the exit statuses and
// examples. The manual page is made from it (help2man), and the README shows its synopsis.
#pragma once

#include <string>

namespace quorvale::app {

std::string HelpText();

}  // namespace quorvale::app
