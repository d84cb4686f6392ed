// Exporting a kept listing in formats other programs read, each read back by an independent
// reader: the paths line by line (and NUL-ended), CSV by Python's csv module, and ncdu's JSON by
// ncdu itself (`ncdu -f FILE -o -`, its own export of what it read), against the tests' own walk.
#include <sys/stat.h>

#include <map>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "catalogue/kept_listing.h"
#include "support/odd_tree.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// What the tests' own walk says of each entry: its written path (a folder's ending in "/"), and
// its type and size as a listing with details has them.
std::map<std::string, std::string> Described(const std::string& root) {
    std::vector<std::string> entries;
    Walk(root, entries);
    std::map<std::string, std::string> described;
    for (const std::string& entry : entries) {
        std::string path;  // the path on disk: the signs back to CR and LF
        for (std::size_t i = 0; i < entry.size(); ++i) {
            const std::string_view rest = std::string_view(entry).substr(i);
            if (rest.starts_with("\xE2\x90\x8D") || rest.starts_with("\xE2\x90\x8A")) {
                path += rest[2] == '\x8D' ? '\r' : '\n';
                i += 2;
            } else {
                path += entry[i];
            }
        }
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        const char type = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : 'l';
        described[entry] = std::string(1, type) + "\t" + std::to_string(st.st_size);
    }
    return described;
}

// Runs a Python program on `input`, its bytes kept (surrogateescape), and returns its stdout.
std::string Python(const std::string& program, const std::string& input, const TempDir& dir) {
    MakeFile(dir / "program.py", program);
    MakeFile(dir / "input", input);
    const std::string command =
        "python3 '" + dir / "program.py" + "' < '" + dir / "input" + "' > '" + dir / "output" + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << "python3: tools/deps.sh test installs it";
    return ReadBytes(dir / "output");
}

std::map<std::string, std::string> Lines(const std::string& text) {
    std::map<std::string, std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        // The path, then the last two fields: a path may hold tabs.
        const std::size_t tab = line.rfind('\t', line.rfind('\t') - 1);
        lines[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return lines;
}

class ExportedListings : public ::testing::Test {
  protected:
    ExportedListings() {
        std::mt19937 random(20261208);
        MakeFolder(tree);
        MakeOddTree(tree, random);
        MakeFile(tree + "/sized", std::string(5000, 'x'));
        MakeFile(tree + "/empty");
        MakeFile(tree + "/one block", std::string(4096, 'x'));
        // A name of each byte a name may hold, control bytes and DEL among them.
        MakeFolder(tree + "/every byte");
        for (int byte = 1; byte < 256; ++byte) {
            if (byte != '/')
                MakeFile(tree + "/every byte/b" + std::string(1, static_cast<char>(byte)));
        }
        EXPECT_EQ(::symlink("sized", (tree + "/link").c_str()), 0);
        EXPECT_EQ(RunProgram({"--save", tree, "--list-folder", dir / "kept", "--details"}).status,
                  0);
    }
    TempDir dir;
    TempDir scratch;
    const std::string tree = dir / "tree";
};

// Every entry's path a line, as the tests' walk writes them, or NUL-ended with their own bytes
// (a CR or LF in a name as itself, ready for xargs -0); -0 before or after the listing.
TEST_F(ExportedListings, PathsAreEveryEntryOnceNewlineOrNulEnded) {
    const std::map<std::string, std::string> described = Described(tree);
    std::vector<std::string> realPaths;
    Walk(tree, realPaths, true);
    for (const char end : {'\n', '\0'}) {
        const ProgramRun run = RunProgram(
            end == '\n' ? std::vector<std::string>{"--export", "paths", dir / "kept"}
                        : std::vector<std::string>{"--export", "paths", "-0", dir / "kept"});
        ASSERT_EQ(run.status, 0) << run.err;
        std::multiset<std::string> paths;
        for (std::size_t start = 0, stop; start < run.out.size(); start = stop + 1) {
            stop = run.out.find(end, start);
            ASSERT_NE(stop, std::string::npos) << "the last path is not ended";
            paths.insert(run.out.substr(start, stop - start));
        }
        std::multiset<std::string> expected(realPaths.begin(), realPaths.end());
        if (end == '\n') {
            expected.clear();
            for (const auto& [path, what] : described) expected.insert(path);
        }
        EXPECT_EQ(paths, expected);
    }
}

// A Save counts the names that hold the sign for a line break itself (no listing can tell them
// from a line break once written); with -0 such a listing is named, once, and the rest is exact.
TEST_F(ExportedListings, NamesHoldingTheSignItselfAreCountedAndSaidWithNul) {
    const std::string signs = scratch / "signs";
    MakeFolder(signs);
    MakeFile(signs + "/real\nbreak");
    MakeFile(signs + "/the \xE2\x90\x8A sign");
    const std::string recordOf = scratch / "kept";
    ASSERT_EQ(RunProgram({"--save", signs, "--list-folder", recordOf}).status, 0);
    EXPECT_EQ(catalogue::KeptListing(recordOf, "read").Record().linesWithTheSign,
              std::optional<std::uint64_t>(1));
    const ProgramRun nul = RunProgram({"--export", "paths", "-0", recordOf});
    EXPECT_EQ(nul.status, 0);
    EXPECT_EQ(nul.out,
              signs + "/" + '\0' + signs + "/real\nbreak" + '\0' + signs + "/the \n sign" + '\0');
    EXPECT_EQ(nul.err, "quorvale: \"" + recordOf +
                           "\": 1 of its lines name entries that hold the sign \xE2\x90\x8A or "
                           "\xE2\x90\x8D itself, which is given as a line break like every other "
                           "such sign\n");
    // The odd tree holds line breaks, never the sign: nothing to say.
    EXPECT_EQ(catalogue::KeptListing(dir / "kept", "read").Record().linesWithTheSign,
              std::optional<std::uint64_t>(0));
    EXPECT_EQ(RunProgram({"--export", "paths", "-0", dir / "kept"}).err, "");
}

// CSV as a spreadsheet reads it: RFC 4180, read back by Python's csv module.
TEST_F(ExportedListings, CsvIsWhatPythonsCsvModuleReadsBack) {
    const ProgramRun run = RunProgram({"--export", "csv", dir / "kept"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("type,size,time,path\r\n"));
    const std::string rows = Python(R"(import csv, io, sys
text = sys.stdin.buffer.read().decode("utf-8", "surrogateescape")
rows = list(csv.reader(io.StringIO(text, newline=""), strict=True))
assert rows[0] == ["type", "size", "time", "path"], rows[0]
out = "".join("%s\t%s\t%s\n" % (r[3], r[0], r[1]) for r in rows[1:] if len(r) == 4)
sys.stdout.buffer.write(out.encode("utf-8", "surrogateescape"))
)",
                                    run.out, scratch);
    std::map<std::string, std::string> expected = Described(tree);
    std::map<std::string, std::string> read = Lines(rows);
    // A folder's size is its own, as the walk saw it.
    EXPECT_EQ(read, expected);
}

// The ncdu export, read by ncdu: what it exports again holds every entry, with its apparent size
// and its size on disk as the tree's blocks say, and links as not regular.
TEST_F(ExportedListings, NcduReadsTheExportBackWithEveryEntryAndSize) {
    const ProgramRun run = RunProgram({"--export", "ncdu", dir / "kept"});
    ASSERT_EQ(run.status, 0) << run.err;
    MakeFile(scratch / "export.json", run.out);
    const std::string command = "ncdu -f '" + scratch / "export.json" + "' -o '" +
                                scratch / "again.json" + "' 2> '" + scratch / "ncdu.err" + "'";
    ASSERT_EQ(std::system(command.c_str()), 0)
        << "ncdu (tools/deps.sh test installs it): " << ReadBytes(scratch / "ncdu.err");
    const std::string entries = Python(R"(import json, sys
import os
text = sys.stdin.buffer.read().decode("utf-8", "surrogateescape")
out = []
def walk(node, parent):
    info = node[0] if isinstance(node, list) else node
    path = parent + info["name"] if parent else info["name"]
    disk = info.get("dsize", 0)
    real = path.replace("\u240d", "\r").replace("\u240a", "\n")
    assert disk == os.lstat(real.encode("utf-8", "surrogateescape")).st_blocks * 512, info
    kind = "d" if isinstance(node, list) else ("l" if info.get("notreg") else "f")
    out.append("%s\t%s\t%d" % (path + ("/" if kind == "d" and not path.endswith("/") else ""),
                               kind, info.get("asize", 0)))
    if isinstance(node, list):
        for child in node[1:]:
            walk(child, path + ("" if path.endswith("/") else "/"))
walk(json.loads(text)[3], "")
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8", "surrogateescape"))
)",
                                       ReadBytes(scratch / "again.json"), scratch);
    EXPECT_EQ(Lines(entries), Described(tree));
}

// A size in a kept details file that is no 64-bit number is left out of the ncdu export (its disk
// size is the blocks kept with the listing): never a crash or a wrapped number.
TEST_F(ExportedListings, SizesPastSixtyFourBitsAreLeftOutOfNcdu) {
    const std::string details = dir / "kept/ListTex1.tsv";
    std::string text = ReadBytes(details);
    const std::size_t sized = text.find("\t5000\t");
    ASSERT_NE(sized, std::string::npos);
    text.replace(sized, 6, "\t99999999999999999999999\t");
    // The root folder's line: the first with a type.
    const std::size_t root = text.find("\nd\t");
    ASSERT_NE(root, std::string::npos);
    const std::size_t size = root + 3;
    text.replace(size, text.find('\t', size) - size, "18446744073709551615");
    MakeFile(details, text);
    const ProgramRun run = RunProgram({"--export", "ncdu", dir / "kept"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("9999999999999999999"), std::string::npos);
    EXPECT_NE(run.out.find("{\"name\":\"sized\",\"mtime\":"), std::string::npos) << run.out;
    // Its disk size is the blocks kept with the listing, whatever its details say.
    EXPECT_NE(run.out.find("\"asize\":18446744073709551615,\"dsize\":"), std::string::npos);
}

// What cannot be exported: an unknown format, a folder with no listing; each said, with 2.
TEST_F(ExportedListings, AnUnknownFormatOrNoListingIsSaidWithTwo) {
    const ProgramRun format = RunProgram({"--export", "xml", dir / "kept"});
    EXPECT_EQ(format.status, 2);
    EXPECT_EQ(format.err, "quorvale: cannot export \"" + dir / "kept" +
                              "\": 'xml' is not a format (paths, csv, ncdu, qdirstat, sums)\n");
    // A reader that goes away (`| head -c 10`) ends an export as it ends any writer: 141.
    for (const std::string name : {"paths", "csv", "ncdu"}) {
        const ProgramRun gone =
            RunProgram({"--export", name, dir / "kept"}, {.stdoutReaderGone = true});
        EXPECT_EQ(gone.status, 141) << name << ": " << gone.err;
    }
    const ProgramRun none = RunProgram({"--export", "paths", tree});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(none.err.starts_with("quorvale: cannot export \"" + tree + "\"")) << none.err;
    EXPECT_EQ(none.out, "");
}

}  // namespace
}  // namespace quorvale::test
