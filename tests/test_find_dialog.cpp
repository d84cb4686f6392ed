// "Find in kept listings" on the offscreen platform: opened from the window by Ctrl+F and its
// context menu, finding as each listing is searched, opening a match's folder where its drive is
// mounted as listed (and saying which drive to connect where it is not), stopping, and every
// control named and reached by the keyboard.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "catalogue/drive_now.h"
#include "catalogue/kept_listing.h"
#include "listing/list_file_name.h"
#include "support/accessible_names.h"
#include "support/fake_file_system.h"
#include "support/program_run.h"
#include "support/synthetic_listing.h"
#include "support/test_support.h"
#include "window/find_dialog.h"
#include "window/main_window.h"

namespace quorvale::test {
namespace {

class FindDialog : public ::testing::Test {
  protected:
    FindDialog() {
        MakeFolder(dir / "R");
        MakeFolder(dir / "R/photos");
        MakeFile(dir / "R/photos/beach.jpg");
        MakeFile(dir / "R/notes.txt");
        EXPECT_EQ(RunProgram({"--save", dir / "R", "--list-folder", dir / "catalogue/R"}).status,
                  0);
        hooks.openFolder = [this](const std::string& folder) {
            opened.push_back(folder);
            return true;
        };
    }
    // Searches for `pattern` as a person does: types it and presses Enter; waits for the end.
    void Search(window::FindDialog& dialog, const QString& pattern) {
        auto* edit = dialog.findChild<QLineEdit*>();
        edit->setFocus();
        edit->clear();
        QTest::keyClicks(edit, pattern);
        QTest::keyClick(edit, Qt::Key_Return);
        EXPECT_TRUE(WaitUntil([&] {
            QApplication::processEvents();
            return !dialog.Searching();
        }));
        QApplication::processEvents();
    }
    std::vector<std::string> Paths(const window::FindDialog& dialog) {
        std::vector<std::string> paths;
        for (const window::FoundMatch& match : dialog.Matches()) paths.push_back(match.path);
        return paths;
    }

    TempDir dir;
    window::FindDialogHooks hooks;
    std::vector<std::string> opened;
};

TEST_F(FindDialog, CtrlFAndTheContextMenuOpenItBesideTheWindow) {
    FakeFileSystem fs;
    TestRuntime runtime(dir / "catalogue");
    window::WindowHooks windowHooks;
    windowHooks.openFolder = hooks.openFolder;
    window::MainWindow form(runtime, fs, windowHooks);
    form.show();
    form.activateWindow();
    QApplication::processEvents();
    EXPECT_EQ(form.Finder(), nullptr);
    QTest::keyClick(&form, Qt::Key_F, Qt::ControlModifier);
    ASSERT_NE(form.Finder(), nullptr);
    EXPECT_TRUE(form.Finder()->isVisible());
    EXPECT_EQ(form.Finder()->windowTitle(), "Find in kept listings");
    // The window's context menu offers it; the three buttons stay as they are.
    EXPECT_EQ(form.contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_EQ(form.actions().size(), 2);  // and browsing them (Ctrl+L)
    EXPECT_EQ(form.actions().front()->text(), "Find in Kept Listings...");
    EXPECT_EQ(form.findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly).size(), 3);
    form.Finder()->hide();
    form.actions().front()->trigger();
    EXPECT_TRUE(form.Finder()->isVisible());
    // It searches where the window's Saves write.
    Search(*form.Finder(), "beach");
    EXPECT_EQ(Paths(*form.Finder()), std::vector<std::string>{dir / "R/photos/beach.jpg"});
}

// When a listing was saved is shown in this machine's time (the record keeps UTC), and a path
// too long for its column keeps its end, the name.
TEST_F(FindDialog, WhenEachWasListedIsInLocalTimeAndLongPathsKeepTheirNames) {
    const char* zone = std::getenv("TZ");
    const std::optional<std::string> before =
        zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
    ::setenv("TZ", "XST-5:30", 1);  // five and a half hours east of UTC, known without tzdata
    ::tzset();
    window::FindDialog dialog(dir / "catalogue", hooks);
    dialog.show();
    Search(dialog, "beach");
    ASSERT_EQ(dialog.Matches().size(), 1u);
    const std::string ended =
        catalogue::KeptListing(dir / "catalogue/R", "read").Record().ended;  // "…T08:15:02Z"
    std::tm utc{};
    ASSERT_NE(::strptime(ended.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc), nullptr) << ended;
    const std::time_t when = ::timegm(&utc);
    std::tm local{};
    ::localtime_r(&when, &local);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(dialog.Matches()[0].listed, expected);
    EXPECT_NE(dialog.Matches()[0].listed.substr(11, 2), ended.substr(11, 2));
    if (before) {
        ::setenv("TZ", before->c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
    EXPECT_EQ(dialog.findChild<QTreeWidget*>()->textElideMode(), Qt::ElideMiddle);
}

TEST_F(FindDialog, FindsOpensAndSaysWhichDriveToConnectByKeyboardAlone) {
    window::FindDialog dialog(dir / "catalogue", hooks);
    dialog.show();
    EXPECT_EQ(UnnamedAccessibleElements(&dialog).join(", ").toStdString(), "");
    Search(dialog, "PHOTO");  // letters fold
    EXPECT_EQ(Paths(dialog),
              (std::vector<std::string>{dir / "R/photos/", dir / "R/photos/beach.jpg"}));
    EXPECT_EQ(dialog.Found(), 2u);
    // In the matches, down to the file, Enter: its folder opens.
    auto* matches = dialog.findChild<QTreeWidget*>();
    matches->setFocus();
    QTest::keyClick(matches, Qt::Key_Down);
    QTest::keyClick(matches, Qt::Key_Down);
    QTest::keyClick(matches, Qt::Key_Return);
    EXPECT_EQ(opened, std::vector<std::string>{dir / "R/photos"});
    EXPECT_EQ(UnnamedAccessibleElements(&dialog).join(", ").toStdString(), "");
    // A listing of a drive that is not mounted where it was listed: nothing opens, and the
    // notice names the drive to connect.
    const std::string record = dir / "catalogue/R/" + std::string(listing::kRecordName);
    std::string text = ReadBytes(record);
    const std::string uuid = "\"uuid\": \"";
    text.insert(text.find(uuid) + uuid.size(), "AAAA-1111");
    MakeFile(record, text);
    Search(dialog, "notes");
    ASSERT_EQ(dialog.Matches().size(), 1u);
    dialog.OpenMatchAt(0);
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_TRUE(dialog.Notice().contains("Connect the drive \"AAAA-1111\""))
        << dialog.Notice().toStdString();
}

// Once every listing was searched, a match whose file has copies in the listings saved with
// hashes says how many (its column), and its context menu says where they are.
TEST_F(FindDialog, AMatchSaysHowManyCopiesItsFileHasAndWhere) {
    MakeFolder(dir / "S");
    MakeFolder(dir / "S/old");
    MakeFile(dir / "S/notes.txt", "the same notes");
    MakeFile(dir / "S/old/notes copy.txt", "the same notes");
    MakeFile(dir / "S/other notes.txt", "notes of its own");
    MakeFolder(dir / "T");
    MakeFile(dir / "T/notes.txt", "the same notes");
    for (const char* tree : {"S", "T"}) {
        ASSERT_EQ(RunProgram({"--save", dir / tree, "--hash", "--list-folder",
                              dir / ("catalogue/" + std::string(tree))})
                      .status,
                  0);
    }
    window::FindDialog dialog(dir / "catalogue", hooks);
    dialog.show();
    Search(dialog, "notes");
    const std::vector<window::FoundMatch>& matches = dialog.Matches();
    std::map<std::string, QString> column;
    auto* view = dialog.findChild<QTreeWidget*>();
    ASSERT_EQ(view->topLevelItemCount(), static_cast<int>(matches.size()));
    for (int row = 0; row < view->topLevelItemCount(); ++row) {
        column[matches[static_cast<std::size_t>(row)].path] = view->topLevelItem(row)->text(3);
    }
    EXPECT_EQ(column[dir / "S/notes.txt"], "2");
    EXPECT_EQ(column[dir / "S/old/notes copy.txt"], "2");
    EXPECT_EQ(column[dir / "T/notes.txt"], "2");
    EXPECT_EQ(column[dir / "S/other notes.txt"], "");
    EXPECT_EQ(column[dir / "R/notes.txt"], "");  // a listing without hashes tells no copies
    for (std::size_t row = 0; row < matches.size(); ++row) {
        const QStringList menu = dialog.CopiesMenuAt(static_cast<int>(row));
        if (matches[row].path != dir / "T/notes.txt") continue;
        ASSERT_EQ(menu.size(), 2) << menu.join("|").toStdString();
        EXPECT_TRUE(menu[0].endsWith(QString::fromStdString(": " + dir / "S/notes.txt")))
            << menu[0].toStdString();
        EXPECT_TRUE(menu[1].endsWith(QString::fromStdString(": " + dir / "S/old/notes copy.txt")))
            << menu[1].toStdString();
    }
    EXPECT_EQ(UnnamedAccessibleElements(&dialog).join(", ").toStdString(), "");
}

TEST_F(FindDialog, StopEndsASearchAndTheFoldersAddedAreRemembered) {
    WriteListing(dir / "catalogue/huge", "/h", 2000000, 0);
    window::FindDialog dialog(dir / "catalogue", hooks);
    dialog.show();
    auto* edit = dialog.findChild<QLineEdit*>();
    edit->setText("file");
    dialog.startSearch();
    EXPECT_TRUE(dialog.Searching());
    dialog.stopSearch();
    EXPECT_FALSE(dialog.Searching());
    EXPECT_LT(dialog.Found(), 2000000u);
    // Escape stops a search as Stop does.
    dialog.startSearch();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.Searching());
    EXPECT_TRUE(dialog.isVisible());
    // With no search running, Escape closes it, as any dialog.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    // Folders added are searched and remembered for the next dialog.
    MakeFolder(dir / "elsewhere");
    MakeFolder(dir / "elsewhere/R2");
    MakeFile(dir / "elsewhere/R2/beach-too.jpg");
    ASSERT_EQ(RunProgram({"--save", dir / "elsewhere/R2", "--list-folder", dir / "more/R2"}).status,
              0);
    dialog.AddFolder(dir / "more");
    dialog.AddFolder(dir / "gone\xFF");  // remembered byte for byte
    window::FindDialog later(dir / "catalogue", hooks);
    EXPECT_EQ(later.Folders(),
              (std::vector<std::string>{dir / "catalogue", dir / "more", dir / "gone\xFF"}));
    later.show();
    ::unlink((dir / "catalogue/huge/ListTex1.txt").c_str());  // named, not searched
    Search(later, "beach");
    std::vector<std::string> found = Paths(later);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{dir / "R/photos/beach.jpg",
                                               dir / "elsewhere/R2/beach-too.jpg"}));
    EXPECT_TRUE(later.Notice().contains("huge")) << later.Notice().toStdString();
}

// A match is opened where its drive is mounted now: where it was listed when the drive is there,
// else the same place below where the drive (by its UUID, or its label) is mounted now; a drive
// mounted nowhere, or another drive where it was, is one to connect.
TEST(DriveNow, AListedFolderMovesWithItsDriveToWhereItIsMountedNow) {
    catalogue::ListingRecord record;
    record.fileSystem.uuid = "1111-AAAA";
    record.fileSystem.label = "photos";
    record.fileSystem.mountPoint = "/media/alice/photos";
    std::map<std::string, std::string> uuidAt;  // a mount point, and the UUID of the drive there
    std::string mountedNow;
    catalogue::DriveLookup drives;
    drives.factsOf = [&](const std::string& folder) -> std::optional<runtime::FileSystemFacts> {
        for (const auto& [at, uuid] : uuidAt) {
            if (folder == at || folder.starts_with(at + "/")) {
                runtime::FileSystemFacts facts;
                facts.uuid = uuid;
                return facts;
            }
        }
        return std::nullopt;
    };
    drives.mountPointOf = [&](const std::string& uuid, const std::string&) {
        return uuid == "1111-AAAA" ? mountedNow : std::string();
    };
    const std::string listed = "/media/alice/photos/2019/may";
    std::string why;
    uuidAt = {{"/media/alice/photos", "1111-AAAA"}};
    mountedNow = "/media/alice/photos";
    EXPECT_EQ(catalogue::FolderNow(listed, record, why, drives), listed);
    uuidAt = {{"/run/media/bob/photos", "1111-AAAA"}};
    mountedNow = "/run/media/bob/photos";
    EXPECT_EQ(catalogue::FolderNow(listed, record, why, drives), "/run/media/bob/photos/2019/may");
    uuidAt = {{"/media/alice/photos", "2222-BBBB"}};
    mountedNow = "";
    EXPECT_EQ(catalogue::FolderNow(listed, record, why, drives), "");
    EXPECT_EQ(why,
              "Connect the drive \"photos\" to open this folder: it is not mounted where it "
              "was listed");
}

}  // namespace
}  // namespace quorvale::test
