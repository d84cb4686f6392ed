// The command line as bytes: what each argument list means, without running the program; and the
// exit status of a Save without a window.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app/display_check.h"
#include "app/headless_save.h"
#include "app/help_text.h"
#include "app/progress_line.h"
#include "app/standard_streams.h"
#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using app::CommandLine;
using Action = CommandLine::Action;

CommandLine Read(std::vector<std::string> args) {
    std::vector<const char*> argv{"quorvale"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return app::ReadCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineBytes, FoldersAndListFoldersKeepEveryByteInEitherFormAndOrder) {
    const std::string listed = "d\xFE";
    const std::string into = "d\xFF";
    for (const auto& args : SaveArgumentForms(listed, into)) {
        const CommandLine line = Read(args);
        EXPECT_EQ(line.action, Action::kSave) << line.wrong;
        EXPECT_EQ(line.folder, listed);
        EXPECT_EQ(line.listFolder.value_or(""), into);
    }
    const CommandLine chosen = Read({"--list-folder", into, "--", listed});
    EXPECT_EQ(chosen.action, Action::kWindow);
    EXPECT_EQ(chosen.folder, listed);
    const CommandLine window = Read({"--", "-named-like-an-option\x80"});
    EXPECT_EQ(window.action, Action::kWindow);
    EXPECT_EQ(window.folder, "-named-like-an-option\x80");
    const CommandLine toolkit = Read({"-style", "Fusion", "R", "-platform=offscreen"});
    EXPECT_EQ(toolkit.action, Action::kWindow);
    EXPECT_EQ(toolkit.folder, "R");
    EXPECT_EQ(toolkit.toolkitOptions,
              (std::vector<std::string>{"-style", "Fusion", "-platform=offscreen"}));
}

TEST(CommandLineBytes, EmptyRepeatedAndUnknownArgumentsAreWrongNeverAWindow) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--save", ""}, "option '--save' needs a folder, not an empty name"},
        {{"--save="}, "option '--save' needs a folder, not an empty name"},
        {{"--save"}, "option '--save' needs a folder"},
        {{"R", "--list-folder", ""}, "option '--list-folder' needs a folder, not an empty name"},
        {{"--save", "A", "B"}, "give one folder only ('B' is a second one)"},
        {{"--save", "A", "--save", "B"}, "--save is given more than once"},
        {{"--list-folder=X", "--list-folder", "Y", "R"}, "--list-folder is given more than once"},
        {{"A", "B"}, "give one folder only ('B' is a second one)"},
        {{""}, "a folder's name cannot be empty"},
        {{"--help-all"}, "unrecognized option '--help-all'"},
        {{"--bogus", "--help"}, "unrecognized option '--bogus'"},
        {{"-z"}, "unrecognized option '-z'"},
        {{"-x"}, "--one-file-system is an option of --save"},
        {{"R", "--reuse", "OLD"}, "--reuse is an option of --save"},
        {{"--save", "R", "--reuse-trust"}, "--reuse-trust is an option of --reuse"},
        {{"--save", "R", "--reuse="}, "option '--reuse' needs a list folder, not an empty name"},
        {{"--save", "R", "--list-folder", "L", "--reuse"},
         "--reuse needs OLD with --list-folder (without it, a drive's latest listing)"},
        {{"--find", "x", "--reuse", "OLD"}, "--reuse is not an option of --find"},
        {{"--export", "csv", "L", "--reuse", "OLD"}, "--reuse is not an option of --export"},
        {{"--save", "A", "-style", "Fusion"},
         "'-style' is an option of the window, and --save "
         "shows none"},
        {{"-style"}, "option '-style' needs a value"},
        {{"R", "--exclude", "*.o"}, "--exclude is an option of --save"},
        {{"--details"}, "--details is an option of --save"},
        {{"--one-file-system", "R"}, "--one-file-system is an option of --save"},
        {{"--save", "R", "--exclude="}, "option '--exclude' needs a pattern, not an empty name"},
        {{"--compare", "A"}, "option '--compare' needs two list folders, OLD and NEW"},
        {{"--compare", "A", "B", "C"}, "--compare takes its two list folders and nothing else"},
        {{"--save", "R", "--compare", "A", "B"},
         "--compare takes its two list folders and nothing else"},
        {{"--compare", "A", "B", "--compare", "C", "D"}, "--compare is given more than once"},
        // An option's name running on is another name, never the option.
        {{"--saveR"}, "unrecognized option '--saveR'"},
        {{"--save", "R", "--excludes=x"}, "unrecognized option '--excludes=x'"},
        {{"--save", "R", "--details=yes"}, "unrecognized option '--details=yes'"},
        {{"--versions"}, "unrecognized option '--versions'"},
        // A flag given twice is wrong as any other option given twice.
        {{"--save", "R", "--details", "--details"}, "--details is given more than once"},
        {{"--save", "R", "--one-file-system", "--one-file-system"},
         "--one-file-system is given more than once"},
        // --find takes its pattern, folders and its own options; they go with nothing else.
        {{"--find"}, "option '--find' needs a pattern"},
        {{"--find", ""}, "option '--find' needs a pattern, not an empty name"},
        {{"-b", "R"}, "--basename is an option of --find"},
        {{"--save", "R", "--count"}, "--count is an option of --find"},
        {{"--find", "x", "--save", "R"}, "--save is not an option of --find"},
        {{"--find", "x", "--list-folder", "R"}, "--list-folder is not an option of --find"},
        {{"--find", "x", "-style", "Fusion"},
         "'-style' is an option of the window, and --find shows none"},
        {{"--find", "x", "-l", "ten"}, "option '--limit' needs a whole number, not 'ten'"},
        {{"--find", "x", "--limit=-1"}, "option '--limit' needs a whole number, not '-1'"},
        {{"--find", "x", "--limit", "18446744073709551616"},
         "option '--limit' needs a whole number, not '18446744073709551616'"},
        {{"--find", "x", "-i", "--ignore-case"}, "--ignore-case is given more than once"},
        {{"--find", "x", "-bi"}, "unrecognized option '-bi'"},
        // --export takes its format, its list folder and -0.
        {{"--export", "csv"}, "--export takes its format and one listing and nothing else"},
        {{"--export", "csv", "L", "M"},
         "--export takes its format and one listing and nothing else"},
        // The catalogue's own commands go alone.
        {{"--forget"}, "option '--forget' needs a listing"},
        {{"--forget", "L", "M"}, "--forget takes one listing ('M' is more)"},
        {{"--note", "L"}, "option '--note' needs a listing and a note"},
        {{"--note", "L", ""}, "option '--note' needs a listing and a note"},
        {{"--listings", "-b"}, "--listings goes with no other option (--basename)"},
        {{"--listings", "--forget", "L"}, "--listings goes with no other option (--forget)"},
        // With --find a dash-led pattern is an option unless "--" comes before it.
        {{"--find", "-name"}, "unrecognized option '-name'"},
        {{"--where", "R"}, "--where is an option of --find"},
        {{"--export", "csv", "L", "-b"}, "--basename is not an option of --export"},
        {{"--export", "csv", "L", "--save", "R"}, "--save is not an option of --export"},
        {{"--export", "csv", "L", "-0"}, "-0 ends the paths of --export paths, not lines of csv"},
        // --hash names its algorithm only after "=", and goes with --save; --verify goes alone.
        {{"--save", "R", "--hash=md5"}, "option '--hash' takes xxh3 or sha256, not 'md5'"},
        {{"--hash", "R"}, "--hash is an option of --save"},
        {{"--save", "R", "--read-order=disk"}, "--read-order is an option of --hash"},
        {{"--save", "R", "--hash", "--read-order=any"},
         "option '--read-order' takes disk or listing, not 'any'"},
        {{"--verify", "L", "--save", "R"}, "--save is not an option of --verify"},
        {{"--verify", "L", "M"}, "--verify takes one listing and --root DIR and nothing else"},
        {{"--root", "R"}, "--root is an option of --verify"},
        // --duplicates, --only-in and --also-in take folders and their few options.
        {{"--duplicates", "--save", "R"}, "--save is not an option of --duplicates"},
        {{"--only-in", "L", "-b"}, "--basename is not an option of --only-in"},
        {{"--duplicates", "--only-in", "L"},
         "--duplicates and --only-in ask two questions: give one"},
        {{"--only-in"}, "option '--only-in' needs a listing"},
        {{"--min-size", "1M", "R"}, "--min-size is an option of --duplicates"},
        {{"--duplicates", "--min-size", "ten"},
         "option '--min-size' needs a size such as 10M, 1G or 4096, not 'ten'"},
        {{"--duplicates", "--min-size=99999999999T"},
         "option '--min-size' needs a size such as 10M, 1G or 4096, not '99999999999T'"},
        {{"--duplicates", "-style", "Fusion"},
         "'-style' is an option of the window, and --duplicates shows none"},
        // --sizes takes its listing, a folder of it and du's few options.
        {{"--sizes", "L", "A", "B"},
         "--sizes takes one listing and a folder of it and nothing else"},
        {{"--sizes", "L", "-d", "one"}, "option '--max-depth' needs a whole number, not 'one'"},
        {{"--sizes", "L", "--sort=time"}, "option '--sort' takes size or name, not 'time'"},
        {{"--sizes", "L", "-c"}, "--count is not an option of --sizes"},
        {{"-d", "1", "R"}, "--max-depth is an option of --sizes"},
    };
    for (const Case& c : cases) {
        const CommandLine line = Read(c.args);
        EXPECT_EQ(line.action, Action::kWrong) << c.says;
        EXPECT_EQ(line.wrong, c.says);
    }
    const CommandLine compare = Read({"--compare", "old\xFF", "new"});
    EXPECT_EQ(compare.action, Action::kCompare);
    EXPECT_EQ(compare.compared, (std::vector<std::string>{"old\xFF", "new"}));
    const CommandLine kept =
        Read({"--save", "R", "--details", "--exclude", "a*", "--exclude=b", "--one-file-system"});
    EXPECT_EQ(kept.action, Action::kSave) << kept.wrong;
    EXPECT_TRUE(kept.details && kept.oneFileSystem);
    EXPECT_EQ(kept.excludes, (std::vector<std::string>{"a*", "b"}));
    const CommandLine find = Read({"-i", "--find=-name-\xFF", "-0", "A", "--basename", "-c",
                                   "--all", "--long", "-l", "7", "--", "-B"});
    EXPECT_EQ(find.action, Action::kFind) << find.wrong;
    EXPECT_EQ(find.find.query.pattern, "-name-\xFF");
    EXPECT_TRUE(find.find.query.ignoreCase && find.find.query.basename && find.find.nulls &&
                find.find.count && find.find.all && find.find.details);
    EXPECT_EQ(find.find.limit, 7u);
    EXPECT_EQ(find.find.folders, (std::vector<std::string>{"A", "-B"}));
    // Options before or after the pattern, as locate takes them; -h there is sizes as people
    // read them, not the help.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--find", "-c", "libc.so", "F"},
          std::vector<std::string>{"--find", "libc.so", "-c", "F"},
          std::vector<std::string>{"-c", "F", "--find", "libc.so"},
          std::vector<std::string>{"--find", "-c", "--", "libc.so", "F"}}) {
        const CommandLine counted = Read(args);
        EXPECT_EQ(counted.action, Action::kFind) << counted.wrong;
        EXPECT_EQ(counted.find.query.pattern, "libc.so");
        EXPECT_TRUE(counted.find.count);
        EXPECT_EQ(counted.find.folders, (std::vector<std::string>{"F"})) << args[1];
    }
    const CommandLine dashed = Read({"--find", "--long", "-h", "--where", "--", "-x"});
    EXPECT_EQ(dashed.action, Action::kFind) << dashed.wrong;
    EXPECT_EQ(dashed.find.query.pattern, "-x");
    EXPECT_TRUE(dashed.find.details && dashed.find.humanReadable && dashed.find.where);
    const CommandLine plain = Read({"--find=x", "--limit=0"});
    EXPECT_EQ(plain.action, Action::kFind) << plain.wrong;
    EXPECT_FALSE(plain.find.limit.has_value() || plain.find.query.ignoreCase);
    EXPECT_TRUE(plain.find.folders.empty());
    const CommandLine exported = Read({"--export", "paths", "-0", "L\xFF"});
    EXPECT_EQ(exported.action, Action::kExport) << exported.wrong;
    EXPECT_EQ(exported.exported.format, "paths");
    EXPECT_EQ(exported.exported.listing, "L\xFF");
    EXPECT_TRUE(exported.exported.nulls);
    EXPECT_EQ(Read({"--help", "--bogus"}).action, Action::kHelp);
    EXPECT_EQ(Read({"-h"}).action, Action::kHelp);
    EXPECT_EQ(Read({"--version"}).action, Action::kVersion);
    EXPECT_EQ(Read({"-V", "--bogus"}).action, Action::kVersion);
    const CommandLine shortly = Read({"--save", "R", "-x", "--reuse", "OLD\xFF", "--reuse-trust"});
    EXPECT_EQ(shortly.action, Action::kSave) << shortly.wrong;
    EXPECT_TRUE(shortly.oneFileSystem && shortly.reuseTrust);
    EXPECT_EQ(shortly.reuse.value_or(""), "OLD\xFF");
    // --reuse with no OLD: the drive's latest listing in the catalogue.
    const CommandLine latest = Read({"--save", "R", "--reuse", "--details"});
    EXPECT_EQ(latest.action, Action::kSave) << latest.wrong;
    EXPECT_EQ(latest.reuse, std::optional<std::string>(""));
    EXPECT_TRUE(latest.details);
    const CommandLine listings = Read({"--listings", "A", "B"});
    EXPECT_EQ(listings.action, Action::kListings) << listings.wrong;
    EXPECT_EQ(listings.listingFolders, (std::vector<std::string>{"A", "B"}));
    const CommandLine note = Read({"--note", "PHOTOS", "shelf 3, blue box"});
    EXPECT_EQ(note.action, Action::kNote) << note.wrong;
    EXPECT_EQ(note.listing + "|" + note.note, "PHOTOS|shelf 3, blue box");
    EXPECT_EQ(Read({"--forget=L"}).action, Action::kForget);
    // `--hash DIR` hashes with the default, never takes DIR for an algorithm; it brings details.
    const CommandLine hashed = Read({"--save", "--hash", "R"});
    EXPECT_EQ(hashed.action, Action::kWrong);
    const CommandLine withHash = Read({"--hash", "--save", "R", "--read-order", "disk"});
    EXPECT_EQ(withHash.action, Action::kSave) << withHash.wrong;
    EXPECT_EQ(withHash.hash, reading::HashAlgorithm::kXxh3);
    EXPECT_TRUE(withHash.details);
    EXPECT_EQ(withHash.readOrder, reading::ReadOrder::kDisk);
    EXPECT_EQ(Read({"--save", "R", "--hash=sha256"}).hash, reading::HashAlgorithm::kSha256);
    const CommandLine verify = Read({"--root", "/media/x", "--verify=L"});
    EXPECT_EQ(verify.action, Action::kVerify) << verify.wrong;
    EXPECT_EQ(verify.verify.listing + "|" + verify.verify.root, "L|/media/x");
    const CommandLine copies =
        Read({"-h", "--duplicates", "A", "B\xFF", "-0", "-c", "--all", "--min-size=10M"});
    EXPECT_EQ(copies.action, Action::kDuplicates) << copies.wrong;
    EXPECT_EQ(copies.duplicates.folders, (std::vector<std::string>{"A", "B\xFF"}));
    EXPECT_TRUE(copies.duplicates.nulls && copies.duplicates.count && copies.duplicates.all &&
                copies.duplicates.humanReadable);
    EXPECT_EQ(copies.duplicates.minSize, 10u << 20);
    const CommandLine only = Read({"--only-in", "L", "F", "--min-size", "0"});
    EXPECT_EQ(only.duplicates.question, app::DuplicatesRequest::Question::kOnlyIn) << only.wrong;
    EXPECT_EQ(only.duplicates.listing + "|" + only.duplicates.folders.at(0), "L|F");
    EXPECT_EQ(only.duplicates.minSize, 0u);
    EXPECT_EQ(Read({"--also-in=L"}).duplicates.question, app::DuplicatesRequest::Question::kAlsoIn);
    const CommandLine sizes =
        Read({"-h", "--sizes", "L\xFF", "/m/a\xFF", "-d", "2", "-b", "-0", "--sort=size"});
    EXPECT_EQ(sizes.action, Action::kSizes) << sizes.wrong;
    EXPECT_EQ(sizes.sizes.listing + "|" + sizes.sizes.path, "L\xFF|/m/a\xFF");
    EXPECT_EQ(sizes.sizes.maxDepth, 2u);
    EXPECT_TRUE(sizes.sizes.humanReadable && sizes.sizes.bytes && sizes.sizes.nulls);
    EXPECT_EQ(sizes.sizes.sort, app::SizesRequest::Sort::kSize);
    const CommandLine apparent = Read({"--sizes=L", "--apparent-size", "--max-depth=0"});
    EXPECT_EQ(apparent.action, Action::kSizes) << apparent.wrong;
    EXPECT_TRUE(apparent.sizes.apparentSize && apparent.sizes.path.empty());
    EXPECT_EQ(apparent.sizes.maxDepth, 0u);
    EXPECT_EQ(Read({}).action, Action::kWindow);
}

TEST(CommandLineBytes, TheReadmeShowsTheSynopsisAndTheExampleOfHelp) {
    std::string readme = ReadBytes(QUORVALE_SOURCE_DIR "/README.md");
    const std::string help = app::HelpText();
    for (const char* line :
         {"quorvale [FOLDER] [--list-folder DIR]",
          "quorvale --save FOLDER [--list-folder DIR] [SAVE OPTION]...",
          "quorvale --compare OLD NEW", "quorvale --find PATTERN [FOLDER]... [FIND OPTION]...",
          "quorvale --export FORMAT LISTING [-0]", "quorvale --verify LISTING [--root DIR]",
          "quorvale --duplicates [FOLDER]... [COPIES OPTION]...",
          "quorvale --only-in|--also-in LISTING [FOLDER]... [COPIES OPTION]...",
          "quorvale -h | --help | -V | --version",
          "quorvale --save /srv/share --list-folder /var/backups/listing"}) {
        EXPECT_NE(help.find(line), std::string::npos) << line;
        EXPECT_NE(readme.find("    " + std::string(line) + "\n"), std::string::npos) << line;
    }
}

TEST(CommandLineBytes, HelpNamesWhereListFilesGoTheSplitTheExitStatusesAndAnExample) {
    const std::string help = app::HelpText();
    for (const char* part :
         {"Usage: quorvale", "--save FOLDER", "--list-folder DIR", "32000", "~/Documents/Quorvale",
          "Exit status:", "Files:", "Examples:", "See also:", "quorvale-index.bin", "141"}) {
        EXPECT_NE(help.find(part), std::string::npos) << part;
    }
    for (std::size_t start = 0, end; start < help.size(); start = end + 1) {
        end = help.find('\n', start);
        EXPECT_LE(end - start, 79u) << help.substr(start, end - start);
    }
}

namespace headless {

// The exit status of a Save of `root` (a real folder) on a file system that fails as `fs` says,
// and what it said on stderr.
std::pair<int, std::string> SaveOn(FakeFileSystem& fs, const std::string& root) {
    TempDir out;
    const std::string said = out / "stderr";
    const std::string status = RunInChild([&] {
        const int err = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(err, STDERR_FILENO);
        ::dup2(null, STDOUT_FILENO);
        runtime::SystemRuntimeServices runtime(out.Path(), runtime::Durability::kUnsynced);
        return std::to_string(app::RunHeadlessSave(root, runtime, fs));
    });
    return {std::stoi(status), ReadBytes(said)};
}

}  // namespace headless

TEST(DisplayNamed, APlatformOrDisplayFromTheCommandLineOrTheEnvironmentAndNeverAnEmptyOne) {
    using app::DisplayEnvironment;
    using Options = std::vector<std::string>;
    EXPECT_FALSE(app::DisplayNamed({}, {}));
    EXPECT_FALSE(app::DisplayNamed({}, {.qpaPlatform = "", .display = "", .waylandDisplay = ""}));
    EXPECT_FALSE(app::DisplayNamed(Options{"-style", "Fusion"}, {}));
    // "-platform" may only stand as a toolkit option's value here, never as the folder.
    for (const Options& named : {Options{"-platform", "offscreen"}, Options{"-platform=offscreen"},
                                 Options{"-display", ":0"}, Options{"-display=:0"}}) {
        EXPECT_TRUE(app::DisplayNamed(named, {})) << named[0];
    }
    EXPECT_TRUE(app::DisplayNamed({}, {.qpaPlatform = "offscreen"}));
    EXPECT_TRUE(app::DisplayNamed({}, {.display = ":0"}));
    EXPECT_TRUE(app::DisplayNamed({}, {.waylandDisplay = "wayland-0"}));
}

TEST(HeadlessExitStatus, OneWheneverAFolderWasDeniedOrLeftIncomplete) {
    TempDir dir;
    const std::string r = dir.Path();
    struct Case {
        Call call;
        int error;
        int status;
    };
    const Case cases[] = {
        {Call::Files, 0, app::kSavedComplete},
        {Call::Files, runtime::DeviceIOError, app::kSavedIncomplete},
        {Call::Open, runtime::PathNotFound, app::kSavedIncomplete},  // vanished while walking
        {Call::NextSubFolder, runtime::DeviceIOError, app::kSavedIncomplete},
        {Call::Open, runtime::PermissionDenied, app::kSavedIncomplete},
    };
    for (const Case& c : cases) {
        FakeFileSystem fs;
        fs.Add(r, {"a"});
        fs.Add(r + "/s", {"b"});
        fs.Add(r + "/s/t", {"c"});
        if (c.error != 0) fs.Fail(c.call, r + "/s", c.error);
        const auto [status, said] = headless::SaveOn(fs, r);
        EXPECT_EQ(status, c.status) << static_cast<int>(c.call) << " " << c.error;
        if (c.error != 0) {
            EXPECT_NE(said.find("quorvale: " + r + "/s"), std::string::npos) << said;
        }
    }
}

TEST(ProgressLine, FitsTheTerminalWithEveryCharacterWholeAndNoControlByte) {
    EXPECT_EQ(app::DisplayWidth("\xE6\x96\x87"), 2u);  // 文
    EXPECT_EQ(app::DisplayWidth("e\xCC\x81"), 1u);     // e and a combining acute accent
    EXPECT_EQ(app::DisplayWidth("\x1B[2J"), 7u);       // \x1B shown as four columns
    std::string cjk = "/data";
    for (int i = 0; i < 40; ++i) cjk += "/\xE6\x96\x87\xE4\xBB\xB6";  // /文件
    const std::string escape = "/data/odd\x1B[2Jname/" + std::string(100, 'x') + "/end\xFF";
    for (const std::size_t columns : {80u, 40u, 120u, 20u}) {
        for (const std::string& folder : {cjk, escape, std::string("/short")}) {
            const std::string line = app::ProgressLine(123456, 3, 12.5, folder, columns);
            EXPECT_LE(app::DisplayWidth(line), columns - 1) << line;
            EXPECT_EQ(app::Printable(line), line) << "a character cut or a control byte left";
            EXPECT_EQ(line.find('\x1B'), std::string::npos);
        }
    }
    const std::string shortened = app::ProgressLine(1, 0, 0.0, cjk, 80);
    EXPECT_EQ(shortened.rfind("1 line, 0 list files, 0.0 s, /data/", 0), 0u) << shortened;
    EXPECT_NE(shortened.find("\xE2\x80\xA6"), std::string::npos);   // …
    EXPECT_TRUE(shortened.ends_with("/\xE6\x96\x87\xE4\xBB\xB6"));  // the end is kept
    EXPECT_EQ(app::ProgressLine(5, 0, 1.0, "/short", 80), "5 lines, 0 list files, 1.0 s, /short");
    EXPECT_EQ(app::ProgressLine(32001, 1, 1.0, "", 80), "32001 lines, 1 list file, 1.0 s");
}

// Every message on stderr in one style: "quorvale: " and a first word in lower case, unless it
// is a name.
TEST(CommandLineBytes, MessagesSayTheProgramAndBeginInLowerCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"Cannot open folder \"/A\": No such file",
         "quorvale: cannot open folder \"/A\": No such file\n"},
        {"cannot list \"x\"", "quorvale: cannot list \"x\"\n"},
        {"ListTex1.txt is gone", "quorvale: ListTex1.txt is gone\n"},
        {"/srv/A: Permission denied", "quorvale: /srv/A: Permission denied\n"},
        {"I", "quorvale: I\n"},
        {"", "quorvale: \n"},
    };
    for (const auto& [text, said] : cases) EXPECT_EQ(app::ErrorMessage(text), said) << text;
}

}  // namespace
}  // namespace quorvale::test
