#include "app/command_line.h"

#include <array>
#include <string_view>

namespace quorvale::app {

namespace {

// Options the window toolkit reads itself (Qt's), with whether each takes a value. They are handed
// to it unchanged.
struct ToolkitOption {
    std::string_view name;
    bool takesValue;
};
constexpr std::array<ToolkitOption, 15> kToolkitOptions{{
    {"-style", true},
    {"-stylesheet", true},
    {"-platform", true},
    {"-platformtheme", true},
    {"-platformpluginpath", true},
    {"-plugin", true},
    {"-display", true},
    {"-geometry", true},
    {"-qwindowgeometry", true},
    {"-qwindowicon", true},
    {"-qwindowtitle", true},
    {"-session", true},
    {"-reverse", false},
    {"-widgetcount", false},
    {"-nograb", false},
}};

const ToolkitOption* FindToolkitOption(std::string_view name) {
    for (const ToolkitOption& option : kToolkitOptions) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

class Reader {
  public:
    Reader(int argc, const char* const argv[]) : argc_(argc), argv_(argv) {}

    CommandLine Read() {
        bool optionsEnded = false;
        for (index_ = 1; index_ < argc_ && line_.action != CommandLine::Action::kWrong; ++index_) {
            const std::string_view arg = argv_[index_];
            if (optionsEnded || arg == "-" || !arg.starts_with('-')) {
                Folder(arg);
            } else if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "--help") {
                line_.action = CommandLine::Action::kHelp;
                return line_;
            } else if (arg == "--version") {
                line_.action = CommandLine::Action::kVersion;
                return line_;
            } else if (IsOption(arg, "--save")) {
                if (saveGiven_) return Wrong("--save is given more than once");
                saveGiven_ = true;
                const std::optional<std::string> value = Value(arg, "--save");
                if (value) Folder(*value);
            } else if (IsOption(arg, "--list-folder")) {
                if (line_.listFolder) return Wrong("--list-folder is given more than once");
                line_.listFolder = Value(arg, "--list-folder");
            } else if (arg == "--one-file-system") {
                line_.oneFileSystem = true;
            } else if (arg == "--details") {
                line_.details = true;
            } else if (IsOption(arg, "--exclude")) {
                if (std::optional<std::string> value = Value(arg, "--exclude", "a pattern")) {
                    line_.excludes.push_back(std::move(*value));
                }
            } else if (IsOption(arg, "--compare")) {
                if (!line_.compared.empty()) return Wrong("--compare is given more than once");
                std::optional<std::string> old = Value(arg, "--compare");
                if (!old) return line_;
                if (index_ + 1 >= argc_ || std::string_view(argv_[index_ + 1]).empty()) {
                    return Wrong("option '--compare' needs two list folders, OLD and NEW");
                }
                line_.compared = {std::move(*old), argv_[++index_]};
            } else if (!ToolkitArgument(arg)) {
                return Wrong("unrecognized option '" + std::string(arg) + "'");
            }
        }
        if (line_.action == CommandLine::Action::kWrong) return line_;
        if (!line_.compared.empty()) {
            if (saveGiven_ || folderGiven_ || line_.listFolder || line_.oneFileSystem ||
                line_.details || !line_.excludes.empty() || !line_.toolkitOptions.empty()) {
                return Wrong("--compare takes its two list folders and nothing else");
            }
            line_.action = CommandLine::Action::kCompare;
            return line_;
        }
        if (!saveGiven_) {
            for (const auto& [given, name] : {std::pair(line_.oneFileSystem, "--one-file-system"),
                                              std::pair(!line_.excludes.empty(), "--exclude"),
                                              std::pair(line_.details, "--details")}) {
                if (given) return Wrong(std::string(name) + " is an option of --save");
            }
        }
        if (saveGiven_) {
            if (!line_.toolkitOptions.empty()) {
                return Wrong("'" + line_.toolkitOptions.front() +
                             "' is an option of the window, and --save shows none");
            }
            line_.action = CommandLine::Action::kSave;
        }
        return line_;
    }

  private:
    static bool IsOption(std::string_view arg, std::string_view name) {
        return arg == name ||
               (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=');
    }

    // The option's value, from "--name=VALUE" or the next argument; empty values are wrong.
    std::optional<std::string> Value(std::string_view arg, std::string_view name,
                                     std::string_view what = "a folder") {
        std::string value;
        if (arg.size() > name.size()) {
            value = arg.substr(name.size() + 1);
        } else if (index_ + 1 < argc_) {
            value = argv_[++index_];
        } else {
            Wrong("option '" + std::string(name) + "' needs " + std::string(what));
            return std::nullopt;
        }
        if (value.empty()) {
            Wrong("option '" + std::string(name) + "' needs " + std::string(what) +
                  ", not an empty name");
            return std::nullopt;
        }
        return value;
    }

    void Folder(std::string_view folder) {
        if (folder.empty()) {
            Wrong("a folder's name cannot be empty");
        } else if (folderGiven_) {
            Wrong("give one folder only ('" + std::string(folder) + "' is a second one)");
        } else {
            folderGiven_ = true;
            line_.folder = folder;
        }
    }

    bool ToolkitArgument(std::string_view arg) {
        const std::string_view name = arg.substr(0, arg.find('='));
        const ToolkitOption* option = FindToolkitOption(name);
        if (option == nullptr) return false;
        line_.toolkitOptions.emplace_back(arg);
        if (option->takesValue && name.size() == arg.size()) {
            if (index_ + 1 >= argc_) {
                Wrong("option '" + std::string(name) + "' needs a value");
                return true;
            }
            line_.toolkitOptions.emplace_back(argv_[++index_]);
        }
        return true;
    }

    CommandLine Wrong(std::string why) {
        line_.action = CommandLine::Action::kWrong;
        line_.wrong = std::move(why);
        return line_;
    }

    int argc_;
    const char* const* argv_;
    int index_ = 1;
    CommandLine line_;
    bool saveGiven_ = false;
    bool folderGiven_ = false;
};

}  // namespace

CommandLine ReadCommandLine(int argc, const char* const argv[]) {
    return Reader(argc, argv).Read();
}

std::string HelpText() {
    return R"(Usage: quorvale [FOLDER] [--list-folder DIR]
  or:  quorvale --save FOLDER [--list-folder DIR] [--details]
                [--one-file-system] [--exclude PATTERN]...
  or:  quorvale --compare OLD NEW
  or:  quorvale --help | --version
List every folder and file below FOLDER into the plain-text list files
ListTex1.txt, ListTex2.txt, ... : each folder by its full path, each file by
its name, a new list file every 32000 lines.

Without --save the window opens, with FOLDER chosen when it is given. With
--save the listing runs without a window (no display is needed).

Options:
  --save FOLDER        list FOLDER without a window, then end
  --list-folder DIR    write the list files into DIR (created when missing)
  --details            with --save: beside each ListTex<n>.txt write
                       ListTex<n>.tsv, line for line: type (d folder, f file,
                       l link, o other), size in bytes, time modified (UTC),
                       full path, separated by tabs
  --one-file-system    with --save: list a folder on another drive by its
                       folder line, without entering it
  --exclude PATTERN    with --save: leave out every entry whose name matches
                       the shell pattern (case-sensitive, * also matches a
                       leading dot; may be given more than once)
  --compare OLD NEW    print what changed from the listing in the list folder
                       OLD to the one in NEW: "-", a tab and the path of each
                       entry only OLD holds, "+" for each only NEW holds
                       (folders end with /), in listing order
  --help               show this help and end
  --version            show the version and end
  --                   end the options: what follows is the folder
The window also takes the toolkit's own options, such as -style NAME and
-platform NAME. Without a display to open it on (none named by -platform,
QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY, or one that does not answer) it
says so on stderr and exits 2.

Where the list files go: DIR when --list-folder is given; otherwise the folder
that holds the program, when it is a copy of its own (not installed under
/usr, /bin, /sbin or /opt) and may be written; otherwise Quorvale in your
documents folder (usually ~/Documents/Quorvale), created when needed.

After its last list file, a Save writes quorvale-listing.json beside them, the
record of the listing: its root, times, host and drive, which list files are
its own (and which others the folder holds), its line count, whether it is
complete, the folders denied or left out, and the options. An earlier record
is renamed quorvale-listing.previous.json first. Names that are not UTF-8 keep
their bytes: each stray byte XX is written \udcXX.

Exit status of --compare: 0 the listings are equal, 1 they differ, 2 a folder
holds no record or its list files are not the ones it describes.

Exit status of --save:
  0    the listing is complete
  1    it was written, but some folders were denied or left incomplete
       (each named on stderr with its reason)
  2    the Save or its output failed, or the command line is wrong
  130  stopped by SIGINT; 143 by SIGTERM; 141 when the reader of the
       output went away

Example:
  quorvale --save /srv/share --list-folder /var/backups/listing
)";
}

}  // namespace quorvale::app
