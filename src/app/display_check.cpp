#include "app/display_check.h"

#include <cstdlib>

namespace quorvale::app {

namespace {

bool Named(const char* value) {
    return value != nullptr && *value != '\0';
}

}  // namespace

DisplayEnvironment DisplayEnvironment::FromProcess() {
    return {std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY")};
}

bool DisplayNamed(const std::vector<std::string>& toolkitOptions,
                  const DisplayEnvironment& environment) {
    for (const std::string& option : toolkitOptions) {
        // `-platform NAME` and `-platform=NAME`; `-display` names an X display.
        if (option == "-platform" || option.starts_with("-platform=") || option == "-display" ||
            option.starts_with("-display=")) {
            return true;
        }
    }
    return Named(environment.qpaPlatform) || Named(environment.display) ||
           Named(environment.waylandDisplay);
}

}  // namespace quorvale::app
