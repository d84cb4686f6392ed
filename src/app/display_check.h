// Whether the window has somewhere to be shown, told before the window system is loaded: a
// platform named by `-platform` or QT_QPA_PLATFORM, or a display named by DISPLAY or
// WAYLAND_DISPLAY. A display that is named but does not answer is only seen when the window
// system tries it (window_main.cpp); both end with the same sentence.
#pragma once

#include <string>
#include <vector>

namespace quorvale::app {

inline constexpr const char* kNoDisplayMessage =
    "quorvale: no display to open the window on; to list without a window: quorvale --save "
    "FOLDER\n";
inline constexpr int kNoDisplayStatus = 2;  // a usage error, as a wrong command line is

// The environment's say, each null when unset.
struct DisplayEnvironment {
    const char* qpaPlatform = nullptr;     // QT_QPA_PLATFORM
    const char* display = nullptr;         // DISPLAY
    const char* waylandDisplay = nullptr;  // WAYLAND_DISPLAY

    static DisplayEnvironment FromProcess();
};

// True when `toolkitOptions` (as the command line read them) or the environment name a platform
// or a display; an empty variable names nothing.
bool DisplayNamed(const std::vector<std::string>& toolkitOptions,
                  const DisplayEnvironment& environment);

}  // namespace quorvale::app
