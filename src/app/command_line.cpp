#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
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

// Our own options, one row each: the form it takes, the mode it belongs to, and how its values
// are kept. The checks between options walk this table; adding an option is adding a row.
// kMaybeValue: a value from "--name=VALUE", or the next argument when it is not an option; none
// otherwise (`--find -c PATTERN` takes the pattern as it comes, `--save R --reuse` takes no OLD).
// kEqualsValue: a value from "--name=VALUE" only (`--hash DIR` never takes DIR for an algorithm).
enum class Form { kFlag, kValue, kMaybeValue, kEqualsValue, kTwoValues };
enum class Mode {
    kEnds,          // --help, --version: the reading ends where it stands
    kWindowOrSave,  // with the window or --save
    kSave,          // only with --save
    kCompare,       // alone: --compare takes its two list folders and nothing else
    kExport,        // --export takes its format, its list folder and -0
    kVerify,        // --verify takes its listing and --root
    kVerifyOption,  // only with --verify
    kFind,          // --find: its pattern, the folders to search and the options below
    kFindOption,    // only with --find
    kListings,      // --listings: the folders to look in
    kAlone,         // --note, --forget: their values and nothing else
};
class Reader;
struct OptionRow {
    std::string_view name;
    std::string_view shortName;  // "-b" beside "--basename", where there is one
    Form form;
    Mode mode;
    bool once;              // given twice is wrong
    std::string_view what;  // what a value is, for the messages
    void (Reader::*keep)(std::vector<std::string>&&);
};

class Reader {
  public:
    Reader(int argc, const char* const argv[]) : argc_(argc), argv_(argv) {}

    CommandLine Read();

    void KeepHelp(std::vector<std::string>&&) { line_.action = CommandLine::Action::kHelp; }
    void KeepVersion(std::vector<std::string>&&) { line_.action = CommandLine::Action::kVersion; }
    void KeepSave(std::vector<std::string>&& values) { Folder(values[0]); }
    void KeepListFolder(std::vector<std::string>&& values) { line_.listFolder = values[0]; }
    void KeepOneFileSystem(std::vector<std::string>&&) { line_.oneFileSystem = true; }
    void KeepExclude(std::vector<std::string>&& values) {
        line_.excludes.push_back(std::move(values[0]));
    }
    void KeepDetails(std::vector<std::string>&&) { line_.details = true; }
    void KeepHash(std::vector<std::string>&& values) {
        const std::string name = values.empty() ? std::string("xxh3") : values[0];
        const std::optional<reading::HashAlgorithm> algorithm = reading::HashAlgorithmNamed(name);
        if (!algorithm) return Wrong("option '--hash' takes xxh3 or sha256, not '" + name + "'");
        line_.hash = *algorithm;
        line_.details = true;  // a hash is told apart from a change by the file's details
    }
    void KeepReadOrder(std::vector<std::string>&& values) {
        if (values[0] == "disk") {
            line_.readOrder = reading::ReadOrder::kDisk;
        } else if (values[0] == "listing") {
            line_.readOrder = reading::ReadOrder::kListing;
        } else {
            Wrong("option '--read-order' takes disk or listing, not '" + values[0] + "'");
        }
    }
    void KeepVerify(std::vector<std::string>&& values) {
        line_.verify.listing = std::move(values[0]);
    }
    void KeepRoot(std::vector<std::string>&& values) { line_.verify.root = std::move(values[0]); }
    void KeepReuse(std::vector<std::string>&& values) {
        line_.reuse = values.empty() ? std::string() : std::move(values[0]);
    }
    void KeepReuseTrust(std::vector<std::string>&&) { line_.reuseTrust = true; }
    void KeepCompare(std::vector<std::string>&& values) { line_.compared = std::move(values); }
    void KeepExport(std::vector<std::string>&& values) {
        line_.exported.format = std::move(values[0]);
    }
    void KeepListings(std::vector<std::string>&&) { line_.action = CommandLine::Action::kListings; }
    void KeepNote(std::vector<std::string>&& values) {
        line_.action = CommandLine::Action::kNote;
        line_.listing = std::move(values[0]);
        line_.note = std::move(values[1]);
    }
    void KeepForget(std::vector<std::string>&& values) {
        line_.action = CommandLine::Action::kForget;
        line_.listing = std::move(values[0]);
    }
    void KeepWhere(std::vector<std::string>&&) { line_.find.where = true; }
    void KeepHumanReadable(std::vector<std::string>&&) { line_.find.humanReadable = true; }
    void KeepSize(std::vector<std::string>&& values) {
        if (auto why = ReadSizeFilter(values[0], line_.find.filter)) Wrong(std::move(*why));
    }
    void KeepNewer(std::vector<std::string>&& values) {
        if (auto why = ReadTimeFilter(values[0], line_.find.filter.newer)) {
            Wrong("option '--newer' needs " + *why);
        }
    }
    void KeepOlder(std::vector<std::string>&& values) {
        if (auto why = ReadTimeFilter(values[0], line_.find.filter.older)) {
            Wrong("option '--older' needs " + *why);
        }
    }
    void KeepType(std::vector<std::string>&& values) {
        if (values[0] != "f" && values[0] != "d" && values[0] != "l") {
            return Wrong("option '--type' needs f, d or l, not '" + values[0] + "'");
        }
        line_.find.filter.type = values[0][0];
    }
    void KeepFind(std::vector<std::string>&& values) {
        if (!values.empty()) findPattern_ = std::move(values[0]);
    }
    void KeepBasename(std::vector<std::string>&&) { line_.find.query.basename = true; }
    void KeepIgnoreCase(std::vector<std::string>&&) { line_.find.query.ignoreCase = true; }
    void KeepNull(std::vector<std::string>&&) { line_.find.nulls = true; }
    void KeepCount(std::vector<std::string>&&) { line_.find.count = true; }
    void KeepAll(std::vector<std::string>&&) { line_.find.all = true; }
    void KeepLong(std::vector<std::string>&&) { line_.find.details = true; }
    void KeepLimit(std::vector<std::string>&& values);

  private:
    bool Wrong() const { return line_.action == CommandLine::Action::kWrong; }
    void Argument(std::string_view arg);
    void Option(const OptionRow& row, std::string_view arg);
    std::optional<std::string> Value(const OptionRow& row, std::string_view arg);
    void CheckModes();
    void CheckFind();
    void CheckExport();
    void CheckVerify();
    void CheckSave();
    void CheckCatalogue();
    void CheckOneFolder();
    void Folder(std::string_view folder);
    bool ToolkitArgument(std::string_view arg);
    void Wrong(std::string why) {
        line_.action = CommandLine::Action::kWrong;
        line_.wrong = std::move(why);
    }

    int argc_;
    const char* const* argv_;
    int index_ = 1;
    CommandLine line_;
    bool optionsEnded_ = false;
    std::vector<std::string> folders_;        // the arguments that are not options, in order
    std::vector<const OptionRow*> given_;     // in the order given
    std::optional<std::string> findPattern_;  // given with --find itself
    bool finding_ = false;                    // --find is among the options
};

constexpr OptionRow kOptions[] = {
    {"--help", "-h", Form::kFlag, Mode::kEnds, false, "", &Reader::KeepHelp},
    {"--version", "-V", Form::kFlag, Mode::kEnds, false, "", &Reader::KeepVersion},
    {"--save", "", Form::kValue, Mode::kSave, true, "a folder", &Reader::KeepSave},
    {"--list-folder", "", Form::kValue, Mode::kWindowOrSave, true, "a folder",
     &Reader::KeepListFolder},
    {"--one-file-system", "-x", Form::kFlag, Mode::kSave, true, "", &Reader::KeepOneFileSystem},
    {"--exclude", "", Form::kValue, Mode::kSave, false, "a pattern", &Reader::KeepExclude},
    {"--details", "", Form::kFlag, Mode::kSave, true, "", &Reader::KeepDetails},
    {"--reuse", "", Form::kMaybeValue, Mode::kSave, true, "a list folder", &Reader::KeepReuse},
    {"--reuse-trust", "", Form::kFlag, Mode::kSave, true, "", &Reader::KeepReuseTrust},
    {"--hash", "", Form::kEqualsValue, Mode::kSave, true, "an algorithm", &Reader::KeepHash},
    {"--read-order", "", Form::kValue, Mode::kSave, true, "disk or listing",
     &Reader::KeepReadOrder},
    {"--verify", "", Form::kValue, Mode::kVerify, true, "a listing", &Reader::KeepVerify},
    {"--root", "", Form::kValue, Mode::kVerifyOption, true, "a folder", &Reader::KeepRoot},
    {"--compare", "", Form::kTwoValues, Mode::kCompare, true, "a folder", &Reader::KeepCompare},
    {"--export", "", Form::kValue, Mode::kExport, true, "a format", &Reader::KeepExport},
    {"--listings", "", Form::kFlag, Mode::kListings, true, "", &Reader::KeepListings},
    {"--note", "", Form::kTwoValues, Mode::kAlone, true, "a listing", &Reader::KeepNote},
    {"--forget", "", Form::kValue, Mode::kAlone, true, "a listing", &Reader::KeepForget},
    {"--find", "", Form::kMaybeValue, Mode::kFind, true, "a pattern", &Reader::KeepFind},
    {"--basename", "-b", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepBasename},
    {"--ignore-case", "-i", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepIgnoreCase},
    {"--null", "-0", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepNull},
    {"--count", "-c", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepCount},
    {"--limit", "-l", Form::kValue, Mode::kFindOption, true, "a number", &Reader::KeepLimit},
    {"--all", "", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepAll},
    {"--long", "", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepLong},
    {"--where", "", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepWhere},
    {"--size", "", Form::kValue, Mode::kFindOption, true, "a size", &Reader::KeepSize},
    {"--newer", "", Form::kValue, Mode::kFindOption, true, "a date", &Reader::KeepNewer},
    {"--older", "", Form::kValue, Mode::kFindOption, true, "a date", &Reader::KeepOlder},
    {"--type", "", Form::kValue, Mode::kFindOption, true, "f, d or l", &Reader::KeepType},
    {"--human-readable", "", Form::kFlag, Mode::kFindOption, true, "", &Reader::KeepHumanReadable},
};
// With --find, -h is --human-readable (as ls and du take it), not --help.
constexpr const OptionRow& kHumanReadableRow = kOptions[std::size(kOptions) - 1];
constexpr const OptionRow& kSaveRow = kOptions[2];

// The row `arg` names: a flag by its whole name, an option with a value also as "--name=VALUE".
const OptionRow* FindOption(std::string_view arg) {
    for (const OptionRow& row : kOptions) {
        if (arg == row.name || (!row.shortName.empty() && arg == row.shortName)) return &row;
        if (row.form != Form::kFlag && arg.starts_with(row.name) && arg.size() > row.name.size() &&
            arg[row.name.size()] == '=') {
            return &row;
        }
    }
    return nullptr;
}

CommandLine Reader::Read() {
    for (int i = 1; i < argc_; ++i) {
        const std::string_view arg = argv_[i];
        if (arg == "--") break;
        finding_ = finding_ || arg == "--find" || arg.starts_with("--find=");
    }
    for (index_ = 1; index_ < argc_ && !Wrong(); ++index_) {
        Argument(argv_[index_]);
        if (line_.action == CommandLine::Action::kHelp ||
            line_.action == CommandLine::Action::kVersion) {
            return line_;
        }
    }
    if (!Wrong()) CheckModes();
    return line_;
}

void Reader::Argument(std::string_view arg) {
    if (optionsEnded_ || arg == "-" || !arg.starts_with('-')) {
        Folder(arg);
    } else if (arg == "--") {
        optionsEnded_ = true;
    } else if (arg == "-h" && finding_) {
        Option(kHumanReadableRow, arg);
    } else if (const OptionRow* row = FindOption(arg)) {
        Option(*row, arg);
    } else if (!ToolkitArgument(arg)) {
        Wrong("unrecognized option '" + std::string(arg) + "'");
    }
}

void Reader::Option(const OptionRow& row, std::string_view arg) {
    if (row.once && std::find(given_.begin(), given_.end(), &row) != given_.end()) {
        return Wrong(std::string(row.name) + " is given more than once");
    }
    given_.push_back(&row);
    std::vector<std::string> values;
    const bool valueFollows =
        arg != row.name || (row.form != Form::kEqualsValue && index_ + 1 < argc_ &&
                            !std::string_view(argv_[index_ + 1]).starts_with('-'));
    const bool mayLackValue = row.form == Form::kMaybeValue || row.form == Form::kEqualsValue;
    if (row.form != Form::kFlag && (!mayLackValue || valueFollows)) {
        std::optional<std::string> value = Value(row, arg);
        if (!value) return;
        values.push_back(std::move(*value));
    }
    if (row.form == Form::kTwoValues) {
        if (index_ + 1 >= argc_ || std::string_view(argv_[index_ + 1]).empty()) {
            return Wrong("option '" + std::string(row.name) + "' needs " +
                         (row.mode == Mode::kAlone ? "a listing and a note"
                                                   : "two list folders, OLD and NEW"));
        }
        values.emplace_back(argv_[++index_]);
    }
    (this->*row.keep)(std::move(values));
}

// The option's value, from "--name=VALUE" or the next argument; empty values are wrong.
std::optional<std::string> Reader::Value(const OptionRow& row, std::string_view arg) {
    std::string value;
    if (arg != row.name && arg != row.shortName) {
        value = arg.substr(row.name.size() + 1);
    } else if (index_ + 1 < argc_) {
        value = argv_[++index_];
    } else {
        Wrong("option '" + std::string(row.name) + "' needs " + std::string(row.what));
        return std::nullopt;
    }
    if (value.empty()) {
        Wrong("option '" + std::string(row.name) + "' needs " + std::string(row.what) +
              ", not an empty name");
        return std::nullopt;
    }
    return value;
}

// What the options given say together: the mode, or why they cannot go together.
void Reader::CheckModes() {
    const auto given = [this](Mode mode) {
        return std::any_of(given_.begin(), given_.end(),
                           [mode](const OptionRow* row) { return row->mode == mode; });
    };
    if (given(Mode::kFind)) return CheckFind();
    if (given(Mode::kExport)) return CheckExport();
    if (given(Mode::kVerify) || given(Mode::kVerifyOption)) return CheckVerify();
    if (given(Mode::kListings) || given(Mode::kAlone)) return CheckCatalogue();
    for (const OptionRow* row : given_) {
        if (row->mode == Mode::kFindOption) {
            return Wrong(std::string(row->name) + " is an option of --find");
        }
    }
    if (given(Mode::kCompare)) {
        if (given_.size() > 1 || !folders_.empty() || !line_.toolkitOptions.empty()) {
            return Wrong("--compare takes its two list folders and nothing else");
        }
        line_.action = CommandLine::Action::kCompare;
        return;
    }
    CheckOneFolder();
    if (!Wrong()) CheckSave();
}

// The window's options or those of a Save: which, and whether they go together.
void Reader::CheckSave() {
    const bool save = std::find(given_.begin(), given_.end(), &kSaveRow) != given_.end();
    if (!save) {
        for (const OptionRow* row : given_) {
            if (row->mode == Mode::kSave)
                return Wrong(std::string(row->name) + " is an option of --save");
        }
        return;
    }
    if (!line_.toolkitOptions.empty()) {
        return Wrong("'" + line_.toolkitOptions.front() +
                     "' is an option of the window, and --save shows none");
    }
    if (line_.reuseTrust && !line_.reuse) return Wrong("--reuse-trust is an option of --reuse");
    if (line_.readOrder != reading::ReadOrder::kAsTheDiskWants &&
        line_.hash == reading::HashAlgorithm::kNone) {
        return Wrong("--read-order is an option of --hash");
    }
    if (line_.reuse && line_.reuse->empty() && line_.listFolder) {
        return Wrong("--reuse needs OLD with --list-folder (without it, a drive's latest listing)");
    }
    line_.action = CommandLine::Action::kSave;
}

// --find takes its pattern, the folders to search and its own options, nothing else.
void Reader::CheckFind() {
    for (const OptionRow* row : given_) {
        if (row->mode != Mode::kFind && row->mode != Mode::kFindOption) {
            return Wrong(std::string(row->name) + " is not an option of --find");
        }
    }
    if (!line_.toolkitOptions.empty()) {
        return Wrong("'" + line_.toolkitOptions.front() +
                     "' is an option of the window, and --find shows none");
    }
    // The pattern comes with --find or as the first argument that is not an option, as locate
    // takes it: options before or after it, and only after "--" a pattern that begins with "-".
    auto folder = folders_.begin();
    if (findPattern_) {
        line_.find.query.pattern = *findPattern_;
    } else if (folder != folders_.end()) {
        line_.find.query.pattern = *folder++;
    } else {
        return Wrong("option '--find' needs a pattern");
    }
    line_.find.folders.assign(folder, folders_.end());
    line_.action = CommandLine::Action::kFind;
}

// --export takes its format, its list folder and -0, nothing else.
void Reader::CheckExport() {
    for (const OptionRow* row : given_) {
        if (row->mode != Mode::kExport && row->name != "--null") {
            return Wrong(std::string(row->name) + " is not an option of --export");
        }
        if (row->name == "--null") line_.exported.nulls = true;
    }
    if (folders_.size() != 1 || !line_.toolkitOptions.empty()) {
        return Wrong("--export takes its format and one listing and nothing else");
    }
    line_.exported.listing = folders_.front();
    if (line_.exported.nulls && line_.exported.format != "paths") {
        return Wrong("-0 ends the paths of --export paths, not lines of " + line_.exported.format);
    }
    line_.action = CommandLine::Action::kExport;
}

// --verify takes its listing and --root, nothing else.
void Reader::CheckVerify() {
    for (const OptionRow* row : given_) {
        if (row->mode != Mode::kVerify && row->mode != Mode::kVerifyOption) {
            return Wrong(std::string(row->name) + " is not an option of --verify");
        }
    }
    if (line_.verify.listing.empty()) return Wrong("--root is an option of --verify");
    if (!folders_.empty() || !line_.toolkitOptions.empty()) {
        return Wrong("--verify takes one listing and --root DIR and nothing else");
    }
    line_.action = CommandLine::Action::kVerify;
}

// --listings takes the folders to look in; --note and --forget their values, nothing else.
void Reader::CheckCatalogue() {
    const OptionRow* first = given_.front();
    if (given_.size() > 1 || !line_.toolkitOptions.empty()) {
        const OptionRow* other = given_.size() > 1 ? given_[1] : first;
        return Wrong(std::string(first->name) + " goes with no other option (" +
                     (given_.size() > 1 ? std::string(other->name) : line_.toolkitOptions.front()) +
                     ")");
    }
    if (first->mode == Mode::kListings) {
        line_.listingFolders = folders_;
    } else if (!folders_.empty()) {
        return Wrong(std::string(first->name) + " takes " +
                     (first->name == "--note" ? "a listing and a note" : "one listing") + " ('" +
                     folders_.front() + "' is more)");
    }
}

// The window and --save take one folder at most.
void Reader::CheckOneFolder() {
    if (folders_.size() > 1) {
        return Wrong("give one folder only ('" + folders_[1] + "' is a second one)");
    }
    if (!folders_.empty()) line_.folder = folders_.front();
}

void Reader::KeepLimit(std::vector<std::string>&& values) {
    const std::string& text = values[0];
    std::uint64_t limit = 0;
    const bool digits = text.find_first_not_of("0123456789") == std::string::npos;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), limit);
    if (!digits || error != std::errc() || end != text.data() + text.size()) {
        return Wrong("option '--limit' needs a whole number, not '" + text + "'");
    }
    if (limit != 0) line_.find.limit = limit;  // 0: no limit, as locate takes it
}

void Reader::Folder(std::string_view folder) {
    if (folder.empty()) return Wrong("a folder's name cannot be empty");
    folders_.emplace_back(folder);
}

bool Reader::ToolkitArgument(std::string_view arg) {
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

}  // namespace

CommandLine ReadCommandLine(int argc, const char* const argv[]) {
    return Reader(argc, argv).Read();
}

std::string HelpText() {
    return R"(Usage: quorvale [FOLDER] [--list-folder DIR]
  or:  quorvale --save FOLDER [--list-folder DIR] [SAVE OPTION]...
  or:  quorvale --compare OLD NEW
  or:  quorvale --find PATTERN [FOLDER]... [FIND OPTION]...
  or:  quorvale --export FORMAT LISTING [-0]
  or:  quorvale --verify LISTING [--root DIR]
  or:  quorvale --listings [FOLDER]...
  or:  quorvale --note LISTING TEXT
  or:  quorvale --forget LISTING
  or:  quorvale -h | --help | -V | --version
List every folder and file below FOLDER into the plain-text list files
ListTex1.txt, ListTex2.txt, ... : each folder by its full path, each file by
its name, a new list file every 32000 lines.

Without --save the window opens, with FOLDER chosen when it is given. With
--save the listing runs without a window (no display is needed) and, without
--list-folder, is kept in the catalogue: one place per drive and folder, so
that every drive saved is found by --find, plugged in or not.

Options:
  --save FOLDER        list FOLDER without a window, then end
  --list-folder DIR    write the list files into DIR (created when missing)
  --details            with --save: beside each ListTex<n>.txt write
                       ListTex<n>.tsv, line for line: type (d folder, f file,
                       l link, o other), size in bytes, time modified (UTC),
                       full path, separated by tabs
  -x, --one-file-system
                       with --save: list a folder on another drive by its
                       folder line, without entering it
  --exclude PATTERN    with --save: leave out every entry whose name matches
                       the shell pattern (case-sensitive, * also matches a
                       leading dot; may be given more than once)
  --reuse [OLD]        with --save: take each folder that has not changed
                       since the listing kept in the list folder OLD was made
                       (same device, inode, modification and change time, and
                       those older than OLD's reading of it by a second) from
                       OLD instead of reading it; the list files are the same
                       as without it. OLD must be a listing of the same FOLDER
                       by the same user and groups with the same options,
                       complete and indexed, on a file system whose folder
                       times are trusted (ext2, ext3, ext4, xfs, btrfs, tmpfs,
                       f2fs); otherwise every folder is read, said once on
                       stderr. OLD cannot be the list folder being written
  --reuse-trust        with --reuse: trust the folder times of any file system
                       (network and FUSE file systems among them)
  --hash[=ALGORITHM]   with --save (implies --details): keep a hash of each
                       regular file's content, xxh3 (XXH3-128, the default)
                       or sha256; with --reuse, a file whose device, inode,
                       size and times are those OLD hashed (and older than
                       that by a second) keeps OLD's hash unread. A file
                       that cannot be read, or that changed while it was
                       read, gets none and is named on stderr and in the
                       record. A file none of whose pages were cached leaves
                       none there once hashed
  --read-order=disk|listing
                       with --hash: read the files with one reader in the
                       order the disk holds them (as on a rotational disk,
                       which sysfs names), or with several in listing order
                       (as elsewhere), whatever the disk says of itself
  --compare OLD NEW    print what changed from the listing in the list folder
                       OLD to the one in NEW: "-", a tab and the path of each
                       entry only OLD holds, "+" for each only NEW holds
                       (folders end with /), and "~" with a letter for each
                       of type, size and time that differs (t, s, m; a
                       folder's size is never a change; c, the content,
                       where both hashed the file with one algorithm) for
                       each both hold (where both have details), in listing
                       order; a warning on stderr when their options differ
  --find PATTERN       print the full path (folders end with /) of each entry
                       whose full path holds PATTERN in the kept listings
                       (list folders with a record) in each FOLDER and two
                       levels below it (default: the catalogue, and where
                       the window's Saves write); a FOLDER may also be a
                       drive's name ("PHOTOS"). With *, ? or [ PATTERN is a
                       shell pattern on the whole path. The newest listing
                       of each drive and root answers, newest first. Options
                       go before or after PATTERN; after -- a PATTERN that
                       begins with - is plain
  --export FORMAT LISTING
                       print the listing kept in the list folder LISTING (or
                       the latest of the drive it names) in a format other
                       programs read: "paths", each entry's full path a
                       line, folders ending with / (with -0 ended by NUL, a
                       CR or LF in a name as itself);
                       "csv" (RFC 4180), type, size, time (where the listing
                       has details) and path; "ncdu", the JSON export that
                       ncdu -f and gdu -f read (disk usage: the size rounded
                       up to 4 KiB); "sums" (a listing saved with --hash),
                       "HASH  PATH" lines, the path under the root, that
                       xxhsum -c or sha256sum -c verify there (for xxh3 a
                       name holding a CR, LF or backslash is left out, named
                       on stderr; sha256sum's escapes otherwise)
  --verify LISTING     read again each file LISTING hashed, where its drive
                       is mounted now (or below --root DIR), and print in
                       listing order "!" for a file whose content differs
                       while its size and time are as listed (damaged), "~"
                       with s and m for one whose size or time changed, "~t"
                       for one no longer a regular file, "-" for one gone,
                       each with a tab and its path
  --root DIR           with --verify: the folder the listing's root is now
  --listings [FOLDER]...
                       one line per kept listing in each FOLDER (default as
                       for --find), newest first, tab-separated: the drive
                       (label, else model, else device), the root, when it
                       was saved (UTC), its lines, complete or not (and
                       why), the drive's size and free space then, the
                       listing's size on disk, details or not, the drive's
                       note, and the list folder
  --note LISTING TEXT  keep TEXT ("shelf 3, blue box") as the note of the
                       drive LISTING is of, shown by --listings, --find
                       --where and the windows
  --forget LISTING     remove the kept listing LISTING whole (its record
                       first, under its lock); a catalogue's place goes with
                       its last listing
  -b, --basename       with --find: match the entry's name only
  -i, --ignore-case    with --find: the letters A-Z and a-z match each other
  -0, --null           with --find or --export paths: end each path with NUL,
                       not a newline, and give a CR or LF in a name back as
                       itself (ready for xargs -0)
  -c, --count          with --find: print only how many entries match
  -l, --limit N        with --find: stop after N matches (0: no limit)
  --all                with --find: search every listing, not only the newest
                       of each drive and root
  --where              with --find: the list folder, when its Save ended
                       (UTC) and the drive's note (see --note), each with a
                       tab, before each path
  --long               with --find: as --where, then type, size and time
                       (from listings saved with --details), each with a tab
  -h, --human-readable with --find --long: sizes as 1.5K, 23M, 4.0G
  --size [+|-]N[k|M|G|T]
                       with --find: files of more (+), less (-) or about N
                       bytes (k, M, G, T: 1024, 1024^2, ...), rounded up to
                       the unit (from listings saved with --details)
  --newer DATE, --older DATE
                       with --find: entries modified after or before DATE
                       (2026-12-09, 2026-12-09 14:30: local time; a final Z:
                       UTC), from listings saved with --details
  --type f|d|l         with --find: files, folders or links only (likewise)
  -h, --help           show this help and end (-h with --find: see above)
  -V, --version        show the version and end
  --                   end the options: what follows is the folder
The window also takes the toolkit's own options, such as -style NAME and
-platform NAME. Without a display to open it on (none named by -platform,
QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY, or one that does not answer) it
says so on stderr and exits 2.

Where the list files go: DIR when --list-folder is given. Otherwise --save
keeps them in the catalogue, ~/.local/share/quorvale/catalogue (in
$XDG_DATA_HOME when it is set): a place per drive (by its UUID, else its file
system's id) and folder, named by the drive's label, holding the last two
Saves and "latest". The window writes into the folder that holds the
program, when it is a copy of its own (not installed under /usr, /bin, /sbin
or /opt) and may be written; otherwise into Quorvale in your documents folder
(usually ~/Documents/Quorvale), created when needed.

Files:
  ListTex<n>.txt       the list files, 32000 lines each (CR LF)
  ListTex<n>.tsv       with --details: type, size, time and path, line for line
  quorvale-listing.json
                       the record a Save writes after its last list file: its
                       root, times, host and drive, which list files are its
                       own, its line count, whether it is complete, the
                       folders denied or left out, the options and the user.
                       An earlier record is renamed
                       quorvale-listing.previous.json first. Names that are
                       not UTF-8 keep their bytes: each stray byte XX is
                       written \udcXX
  quorvale-index.bin   the index --find and --reuse read, written before the
                       record (an earlier one is renamed
                       quorvale-index.previous.bin)
  quorvale-hashes.bin, quorvale-hashes-by-size.bin
                       with --hash: each hashed file's entry, size, identity,
                       times and hash, in listing order and by size and hash

Exit status:
  --save: 0 the listing is complete; 1 it was written, but some folders were
  denied or left incomplete, or with --hash some files got no hash (each
  named on stderr with its reason); 2 the Save or its output failed, or the
  command line is wrong; 130 stopped by SIGINT,
  143 by SIGTERM, 129 by SIGHUP, 141 when the reader of the output went away.
  --compare: 0 the listings are equal, 1 they differ, 2 a folder holds no
  record or its list files are not the ones it describes.
  --find: 0 something matched, 1 nothing did, 2 a FOLDER given could not be
  read or no listing could (each folder or listing that cannot be read is
  named on stderr).
  --listings, --note, --forget: 0 done, 2 a listing or folder could not be
  read or changed.
  --export: 0 written, 2 the listing could not be read or the format is not
  one of these.
  --verify: 0 every hashed file is intact, 1 something was found, 2 something
  could not be verified (said on stderr: a file unreadable, the drive not
  mounted, a listing without hashes).

Examples:
  A catalogue of three drives, and where a file is, plugged in or not:
    quorvale --save /media/alice/PHOTOS
    quorvale --save /media/alice/BACKUP
    quorvale --save ~/odd
    quorvale --find -i holiday

  quorvale --save /srv/share --list-folder /var/backups/listing

  A nightly catalogue of a share, reusing yesterday's listing, and what
  changed since:
    today=/var/backups/listing/$(date +%F)
    yesterday=/var/backups/listing/$(date -d yesterday +%F)
    quorvale --save /srv/share --list-folder "$today" -x --reuse "$yesterday"
    quorvale --compare "$yesterday" "$today"

  Prove that a backup drive still holds the bytes it held:
    quorvale --save /media/alice/BACKUP --hash
    quorvale --verify BACKUP

  Where is that file, on every drive listed:
    quorvale -i -b --find 'holiday*.jpg' ~/catalogue

See also:
  find(1), locate(1), plocate(1), ncdu(1)
)";
}

}  // namespace quorvale::app
