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
    kEnds,              // --help, --version: the reading ends where it stands
    kWindowOrSave,      // with the window or --save
    kSave,              // only with --save
    kCompare,           // alone: --compare takes its two list folders and nothing else
    kExport,            // --export takes its format, its list folder and -0
    kVerify,            // --verify takes its listing and --root
    kVerifyOption,      // only with --verify
    kFind,              // --find: its pattern, the folders to search and the options below
    kFindOption,        // only with --find
    kDuplicates,        // --duplicates, --only-in, --also-in: the folders to look in, and the below
    kDuplicatesOption,  // only with those
    kSizes,             // --sizes: its listing, a folder of it and the below
    kSizesOption,       // only with --sizes
    kListings,          // --listings: the folders to look in
    kAlone,             // --note, --forget: their values and nothing else
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
    void KeepDuplicates(std::vector<std::string>&&) {
        line_.duplicates.question = DuplicatesRequest::Question::kDuplicates;
    }
    void KeepOnlyIn(std::vector<std::string>&& values) {
        line_.duplicates.question = DuplicatesRequest::Question::kOnlyIn;
        line_.duplicates.listing = std::move(values[0]);
    }
    void KeepAlsoIn(std::vector<std::string>&& values) {
        line_.duplicates.question = DuplicatesRequest::Question::kAlsoIn;
        line_.duplicates.listing = std::move(values[0]);
    }
    void KeepSizes(std::vector<std::string>&& values) {
        line_.sizes.listing = std::move(values[0]);
    }
    void KeepMaxDepth(std::vector<std::string>&& values) {
        std::uint64_t depth = 0;
        const std::string& text = values[0];
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), depth);
        if (error != std::errc() || end != text.data() + text.size()) {
            return Wrong("option '--max-depth' needs a whole number, not '" + text + "'");
        }
        line_.sizes.maxDepth = depth;
    }
    void KeepApparentSize(std::vector<std::string>&&) { line_.sizes.apparentSize = true; }
    void KeepBytes(std::vector<std::string>&&) { line_.sizes.bytes = true; }
    void KeepSort(std::vector<std::string>&& values) {
        if (values[0] == "size") {
            line_.sizes.sort = SizesRequest::Sort::kSize;
        } else if (values[0] == "name") {
            line_.sizes.sort = SizesRequest::Sort::kName;
        } else {
            Wrong("option '--sort' takes size or name, not '" + values[0] + "'");
        }
    }
    void KeepMinSize(std::vector<std::string>&& values) {
        if (auto why = ReadMinSize(values[0], line_.duplicates.minSize)) Wrong(std::move(*why));
    }

  private:
    bool Wrong() const { return line_.action == CommandLine::Action::kWrong; }
    void Argument(std::string_view arg);
    void Option(const OptionRow& row, std::string_view arg);
    std::optional<std::string> Value(const OptionRow& row, std::string_view arg);
    void CheckModes();
    void CheckFind();
    void CheckDuplicates();
    void CheckSizes();
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
    bool finding_ = false;  // --find (or --duplicates, --only-in, --also-in) is among the options
    bool sizing_ = false;   // --sizes is
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
    {"--duplicates", "", Form::kFlag, Mode::kDuplicates, true, "", &Reader::KeepDuplicates},
    {"--only-in", "", Form::kValue, Mode::kDuplicates, true, "a listing", &Reader::KeepOnlyIn},
    {"--also-in", "", Form::kValue, Mode::kDuplicates, true, "a listing", &Reader::KeepAlsoIn},
    {"--min-size", "", Form::kValue, Mode::kDuplicatesOption, true, "a size", &Reader::KeepMinSize},
    {"--sizes", "", Form::kValue, Mode::kSizes, true, "a listing", &Reader::KeepSizes},
    {"--max-depth", "-d", Form::kValue, Mode::kSizesOption, true, "a number",
     &Reader::KeepMaxDepth},
    {"--apparent-size", "", Form::kFlag, Mode::kSizesOption, true, "", &Reader::KeepApparentSize},
    {"--sort", "", Form::kValue, Mode::kSizesOption, true, "size or name", &Reader::KeepSort},
    {"--bytes", "", Form::kFlag, Mode::kSizesOption, true, "", &Reader::KeepBytes},
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
// With --sizes, -b is --bytes (as du takes it), not --basename.
const OptionRow& BytesRow() {
    static const OptionRow& row =
        *std::find_if(std::begin(kOptions), std::end(kOptions),
                      [](const OptionRow& option) { return option.name == "--bytes"; });
    return row;
}

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
        sizing_ = sizing_ || arg == "--sizes" || arg.starts_with("--sizes=");
        for (const std::string_view asking :
             {"--find", "--duplicates", "--only-in", "--also-in", "--sizes"}) {
            finding_ = finding_ || arg == asking ||
                       (arg.starts_with(asking) && arg.size() > asking.size() &&
                        arg[asking.size()] == '=');
        }
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
    } else if (arg == "-b" && sizing_) {
        Option(BytesRow(), arg);
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
    if (given(Mode::kDuplicates)) return CheckDuplicates();
    if (given(Mode::kSizes)) return CheckSizes();
    if (given(Mode::kExport)) return CheckExport();
    if (given(Mode::kVerify) || given(Mode::kVerifyOption)) return CheckVerify();
    if (given(Mode::kListings) || given(Mode::kAlone)) return CheckCatalogue();
    for (const OptionRow* row : given_) {
        if (row->mode == Mode::kFindOption) {
            return Wrong(std::string(row->name) + " is an option of --find");
        }
        if (row->mode == Mode::kDuplicatesOption) {
            return Wrong(std::string(row->name) + " is an option of --duplicates");
        }
        if (row->mode == Mode::kSizesOption) {
            return Wrong(std::string(row->name) + " is an option of --sizes");
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

// --duplicates (or --only-in LISTING, or --also-in LISTING) takes the folders to look in, -0,
// -c, -h, --all and --min-size, nothing else.
void Reader::CheckDuplicates() {
    const OptionRow* asked = nullptr;
    for (const OptionRow* row : given_) {
        if (row->mode == Mode::kDuplicates) {
            if (asked != nullptr) {
                return Wrong(std::string(asked->name) + " and " + std::string(row->name) +
                             " ask two questions: give one");
            }
            asked = row;
            continue;
        }
        const std::string_view name = row->name;
        if (row->mode != Mode::kDuplicatesOption && name != "--null" && name != "--count" &&
            name != "--human-readable" && name != "--all") {
            return Wrong(std::string(name) + " is not an option of " +
                         std::string(asked != nullptr ? asked->name : "--duplicates"));
        }
    }
    if (!line_.toolkitOptions.empty()) {
        return Wrong("'" + line_.toolkitOptions.front() + "' is an option of the window, and " +
                     std::string(asked->name) + " shows none");
    }
    DuplicatesRequest& request = line_.duplicates;
    request.all = line_.find.all;
    request.nulls = line_.find.nulls;
    request.count = line_.find.count;
    request.humanReadable = line_.find.humanReadable;
    request.folders = folders_;
    line_.action = CommandLine::Action::kDuplicates;
}

// --sizes takes its listing, a folder of it, -d, -h, -b, --apparent-size, --sort and -0.
void Reader::CheckSizes() {
    for (const OptionRow* row : given_) {
        if (row->mode != Mode::kSizes && row->mode != Mode::kSizesOption && row->name != "--null" &&
            row->name != "--human-readable") {
            return Wrong(std::string(row->name) + " is not an option of --sizes");
        }
    }
    if (folders_.size() > 1 || !line_.toolkitOptions.empty()) {
        return Wrong("--sizes takes one listing and a folder of it and nothing else");
    }
    if (!folders_.empty()) line_.sizes.path = folders_.front();
    line_.sizes.nulls = line_.find.nulls;
    line_.sizes.humanReadable = line_.find.humanReadable;
    line_.action = CommandLine::Action::kSizes;
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

}  // namespace quorvale::app
