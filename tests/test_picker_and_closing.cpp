// The folder picker's returned paths, and the closing sequence's path and bounds.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include "listing/list_file_name.h"
#include "picker/folder_picker.h"
#include "reading/posix_file_system.h"
#include "support/accessible_names.h"
#include "support/test_support.h"
#include "window/closing_animation.h"
#include "window/main_window.h"

namespace quorvale::test {
namespace {

using picker::FolderPickerDialog;
using window::ClosingAnimation;

TEST(FolderPicker, LocationFieldAcceptsExistingFoldersWithoutTrailingSeparator) {
    TempDir dir;
    MakeFolder(dir / "sub folder");
    MakeFile(dir / "file");
    FolderPickerDialog dialog(nullptr, "Select A Drive Or Folder");
    dialog.show();
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), dialog.Location());

    // A missing folder or a file: the dialog says so and stays open.
    for (const std::string& wrong : {dir / "missing", dir / "file"}) {
        dialog.Location()->setText(QString::fromStdString(wrong));
        QTest::keyClick(dialog.Location(), Qt::Key_Return);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_TRUE(dialog.Status()->text().contains("There is no folder"));
    }

    dialog.Location()->setText(QString::fromStdString(dir / "sub folder") + "//");
    QTest::keyClick(dialog.Location(), Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.ChosenPath(), QByteArray::fromStdString(dir / "sub folder"));
}

TEST(FolderPicker, TypedPathsKeepEveryByteButAPastesLineBreak) {
    EXPECT_EQ(picker::TypedFolderPath("/"), "/");
    EXPECT_EQ(picker::TypedFolderPath("//usr//"), "/usr");
    EXPECT_EQ(picker::TypedFolderPath("/tmp/\n"), "/tmp");
    EXPECT_EQ(picker::TypedFolderPath("/d/trail \t"), "/d/trail \t");
    EXPECT_EQ(picker::TypedFolderPath("/d/L/.."), "/d/L/..");
    EXPECT_EQ(picker::TypedFolderPath("~"), QFile::encodeName(QDir::homePath()));
    EXPECT_EQ(picker::TypedFolderPath(""), "");
}

TEST(FolderPicker, HighlightedFolderShowsItsFullPathAndOkReturnsIt) {
    FolderPickerDialog dialog(nullptr, "Select A Drive Or Folder");
    dialog.show();
    ASSERT_GE(dialog.Places()->count(), 2);
    EXPECT_EQ(dialog.Places()->item(0)->text(), "Home");
    // The root place highlights "/".
    QListWidgetItem* root = dialog.Places()->item(1);
    emit dialog.Places()->itemClicked(root);
    EXPECT_EQ(dialog.Status()->text(), "/");
    QTest::keyClick(dialog.Location(), Qt::Key_Return);
    EXPECT_EQ(dialog.ChosenPath(), "/");
}

TEST(FolderPicker, EveryElementAScreenReaderReachesHasAName) {
    FolderPickerDialog dialog(nullptr, "Select A Drive Or Folder");
    dialog.show();
    EXPECT_EQ(UnnamedAccessibleElements(&dialog).join(", ").toStdString(), "");
}

TEST(FolderPicker, PlacesAreChosenByKeyboardOverWhatTheTreeHighlighted) {
    TempDir dir;
    FolderPickerDialog dialog(nullptr, "Select A Drive Or Folder");
    dialog.show();
    ASSERT_TRUE(dialog.HighlightPath(QByteArray::fromStdString(dir.Path())));
    dialog.Places()->setFocus();
    QTest::keyClick(dialog.Places(), Qt::Key_Home);  // Home
    EXPECT_EQ(dialog.Status()->text(), QDir::homePath());
    QTest::keyClick(dialog.Places(), Qt::Key_Down);  // "/"
    EXPECT_EQ(dialog.Status()->text(), "/");
    QTest::keyClick(dialog.Places(), Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.ChosenPath(), "/");
}

TEST(FolderPicker, CancelReturnsTheEmptyString) {
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->reject();
    });
    EXPECT_EQ(picker::BrowseForFolder(nullptr, "Select A Drive Or Folder").path, "");

    // Cancel returns nothing even when the location field names an existing folder.
    TempDir dir;
    QTimer::singleShot(0, [&dir] {
        auto* dialog = qobject_cast<FolderPickerDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->Location()->setText(QString::fromStdString(dir.Path()));
        dialog->reject();
    });
    EXPECT_EQ(picker::BrowseForFolder(nullptr, "Select A Drive Or Folder").path, "");

    QTimer::singleShot(0, [&dir] {
        auto* dialog = qobject_cast<FolderPickerDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->Location()->setText(QString::fromStdString(dir.Path()));
        QTest::keyClick(dialog->Location(), Qt::Key_Return);
    });
    EXPECT_EQ(picker::BrowseForFolder(nullptr, "Select A Drive Or Folder").path, dir.Path());
}

// "Stay on this drive" is off whenever the picker opens, even after a Choose that checked it, and
// comes back with the folder when checked.
TEST(FolderPicker, StayOnThisDriveIsOffWheneverItOpensAndReturnedWithTheFolder) {
    TempDir dir;
    for (const bool check : {true, false}) {
        QTimer::singleShot(0, [&dir, check] {
            auto* dialog = qobject_cast<FolderPickerDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            EXPECT_FALSE(dialog->StayOnDrive()->isChecked());
            EXPECT_EQ(dialog->StayOnDrive()->text(), "Stay on this drive");
            if (check) dialog->StayOnDrive()->click();
            dialog->Location()->setText(QString::fromStdString(dir.Path()));
            QTest::keyClick(dialog->Location(), Qt::Key_Return);
        });
        const picker::FolderChoice choice =
            picker::BrowseForFolder(nullptr, "Select A Drive Or Folder");
        EXPECT_EQ(choice.path, dir.Path());
        EXPECT_EQ(choice.stayOnDrive, check);
    }
}

// The folder the dialog accepts after `pick` ran on it, or nothing on Cancel.
QByteArray Pick(const std::function<void(FolderPickerDialog&)>& pick) {
    FolderPickerDialog dialog(nullptr, "Select A Drive Or Folder");
    dialog.show();
    pick(dialog);
    return dialog.result() == QDialog::Accepted ? dialog.ChosenPath() : QByteArray();
}

void PressEnter(FolderPickerDialog& dialog) {
    QTest::keyClick(dialog.Location(), Qt::Key_Return);
}

// The file lines of a listing of `folder`.
std::vector<std::string> FilesListed(const QByteArray& folder) {
    reading::PosixFileSystem fs;
    Lister lister(fs);
    lister.Save(folder.toStdString());
    std::vector<std::string> files;
    for (const std::string& line : ListFileLines(lister.programFolder.Path(), 1)) {
        if (line.rfind("\t\t", 0) == 0) files.push_back(line.substr(2));
    }
    return files;
}

TEST(FolderPicker, NamesEndingInSpacesAreChosenAsTheyAreTypedOrPicked) {
    TempDir dir;
    MakeFolder(dir / "trail");
    MakeFile(dir / "trail/in-plain");
    MakeFolder(dir / "trail ");
    MakeFile(dir / "trail /in-spaced");
    const QByteArray spaced = QByteArray::fromStdString(dir / "trail ");

    const QByteArray typed = Pick([&](FolderPickerDialog& dialog) {
        dialog.Location()->setText(QString::fromStdString(dir / "trail ") + "\n");
        PressEnter(dialog);
    });
    EXPECT_EQ(typed, spaced);
    const QByteArray picked = Pick([&](FolderPickerDialog& dialog) {
        ASSERT_TRUE(dialog.HighlightPath(spaced));
        PressEnter(dialog);
    });
    EXPECT_EQ(picked, spaced);
    EXPECT_EQ(FilesListed(picked), std::vector<std::string>{"in-spaced"});
}

TEST(FolderPicker, DotDotAfterALinkIsLeftToTheFileSystem) {
    TempDir dir;
    MakeFolder(dir / "x");
    MakeFolder(dir / "x/y");
    MakeFile(dir / "x/beside-y");
    MakeLink(dir / "x/y", dir / "L");
    MakeFile(dir / "beside-L");
    const QByteArray chosen = Pick([&](FolderPickerDialog& dialog) {
        dialog.Location()->setText(QString::fromStdString(dir / "L/.."));
        PressEnter(dialog);
    });
    EXPECT_EQ(chosen, QByteArray::fromStdString(dir / "L/.."));
    // What `ls L/..` shows: the folder that holds y.
    EXPECT_EQ(FilesListed(chosen), std::vector<std::string>{"beside-y"});
}

TEST(FolderPicker, AFolderWhoseNameIsNotUtf8CanBeHighlightedAndChosen) {
    TempDir dir;
    const std::string odd = dir / "caf\xE9 \xFF";
    MakeFolder(odd);
    MakeFile(odd + "/inside");
    const QByteArray bytes = QByteArray::fromStdString(odd);
    const QByteArray chosen = Pick([&](FolderPickerDialog& dialog) {
        ASSERT_TRUE(dialog.HighlightPath(bytes));
        const QModelIndex current = dialog.FolderTree()->currentIndex();
        EXPECT_EQ(current.data().toString(), QString("caf") + QChar(0xFFFD) + " " + QChar(0xFFFD));
        EXPECT_TRUE(dialog.Status()->text().endsWith(current.data().toString()));
        PressEnter(dialog);
    });
    ASSERT_EQ(chosen, bytes);
    reading::PosixFileSystem fs;
    Lister lister(fs);
    lister.Save(chosen.toStdString());
    const std::vector<std::string> lines = ListFileLines(lister.programFolder.Path(), 1);
    EXPECT_EQ(lines, (std::vector<std::string>{odd, "\t" + odd, "\t\tinside"}));
}

TEST(HeadlessAndWindow, WriteTheSameListFilesByteForByte) {
    TempDir dir;
    const std::string root = dir / "T";
    MakeFolder(root);
    // A tree with odd names: stray bytes, tabs, trailing spaces, a line break.
    for (int a = 0; a < 6; ++a) {
        const std::string folder = root + "/f " + std::to_string(a) + (a % 2 ? "\xFF" : "\t");
        MakeFolder(folder);
        MakeFolder(folder + "/inner");
        for (int i = 0; i < 200; ++i) {
            MakeFile(folder + (i % 2 ? "/inner" : "") + "/n" + std::to_string(i) +
                     (i % 3 ? "" : " "));
        }
    }
    MakeFile(root + "/line\nbreak");
    TempDir windowOut;
    TempDir headlessOut;
    {
        runtime::SystemRuntimeServices runtime(windowOut.Path());
        reading::PosixFileSystem fs;
        window::WindowHooks hooks = window::DefaultWindowHooks();
        hooks.browseForFolder = [&root](QWidget*, const QString&) { return root; };
        hooks.endProgram = [] {};
        hooks.closingAnimation = [](QWidget*) {};
        window::MainWindow form(runtime, fs, hooks);
        form.findChild<QPushButton*>("chooseButton")->click();
        form.findChild<QPushButton*>("saveButton")->click();
        ASSERT_EQ(form.findChild<QLabel*>("statusLabel")->text(), "ListTex 1 To 1 Saved");
    }
    const std::string command = std::string("env -u DISPLAY -u QT_QPA_PLATFORM '") +
                                QUORVALE_PROGRAM + "' --save '" + root + "' --list-folder '" +
                                headlessOut.Path() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string windowFile = ReadBytes(listing::ListFilePath(windowOut.Path(), 1));
    EXPECT_EQ(SplitListFile(windowFile).size(), 2u + 6 * 2 + 6 * 200 + 1);
    EXPECT_EQ(ReadBytes(listing::ListFilePath(headlessOut.Path(), 1)), windowFile);
    EXPECT_FALSE(Exists(listing::ListFilePath(headlessOut.Path(), 2)));
}

// A window that moves as told, or not at all, with a clock that only advances when slept.
class FakeFrame : public window::WindowFrame {
  public:
    double top = 6000, left = 3000, width = 12000, height = 4500, screen = 19200;
    bool movable = true;
    bool failing = false;
    int shows = 0;
    double Top() const override { return Check(top); }
    double Left() const override { return Check(left); }
    double Width() const override { return Check(width); }
    double Height() const override { return Check(height); }
    void SetTop(double v) override { top = movable ? Check(v) : top; }
    void SetLeft(double v) override { left = movable ? Check(v) : left; }
    void SetWidth(double v) override { width = std::max(Check(v), 1800.0); }
    void SetHeight(double v) override { height = std::max(Check(v), 450.0); }
    double ScreenWidth() const override { return Check(screen); }
    void Show() override { ++shows; }

  private:
    double Check(double v) const {
        if (failing) throw std::runtime_error("the window system refuses");
        return v;
    }
};

class FakeClock : public window::AnimationClock {
  public:
    double now = 100;
    double Now() const override { return now; }
    void SleepUntil(double t) override { now = std::max(now, t + 0.0001); }
};

TEST(ClosingAnimation, ShrinksAboutTheCentreThenSlidesPastTheScreensWidth) {
    FakeFrame frame;
    FakeClock clock;
    const double centreX = frame.left + frame.width / 2;
    const int passes = ClosingAnimation::Play(frame, clock);
    EXPECT_GT(frame.top, frame.screen);
    EXPECT_EQ(passes, static_cast<int>((19200 - 6000) / 30) + 1);
    EXPECT_EQ(frame.shows, passes);
    EXPECT_EQ(frame.width, 1800);
    // While it shrank (the first passes) the centre stayed put.
    FakeFrame early;
    FakeClock clock2;
    early.screen = early.top + 30 * 10;
    ClosingAnimation::Play(early, clock2);
    EXPECT_DOUBLE_EQ(early.left + early.width / 2, centreX);
    const double seconds = clock.now - 100;
    EXPECT_GE(seconds, 0.25);
    EXPECT_LE(seconds, ClosingAnimation::kMaxSeconds);
}

TEST(ClosingAnimation, EndsWhenTheWindowCannotMoveOrEveryStepFails) {
    FakeFrame stuck;
    stuck.movable = false;
    FakeClock clock;
    const int passes = ClosingAnimation::Play(stuck, clock);
    EXPECT_LE(passes, (19200 - 6000) / 30 + 1 + ClosingAnimation::kExtraPasses);
    EXPECT_LE(clock.now - 100, ClosingAnimation::kMaxSeconds + 0.01);

    FakeFrame broken;
    broken.failing = true;
    FakeClock clock2;
    EXPECT_EQ(ClosingAnimation::Play(broken, clock2), 1);
}

TEST(ClosingPace, RealWindowSlidesAwayWithinItsBoundAndTheProgramEnds) {
    TempDir dir;
    TestRuntime runtime(dir.Path());
    reading::PosixFileSystem fs;
    window::WindowHooks hooks = window::DefaultWindowHooks();
    int ended = 0;
    hooks.endProgram = [&ended] { ++ended; };
    window::MainWindow form(runtime, fs, hooks);
    form.show();
    QApplication::processEvents();
    const QRect before = form.frameGeometry();
    QElapsedTimer timer;
    timer.start();
    form.findChild<QPushButton*>("exitButton")->click();
    const qint64 ms = timer.elapsed();
    EXPECT_EQ(ended, 1);
    EXPECT_GT(form.frameGeometry().top(), form.screen()->geometry().width());
    EXPECT_LT(form.frameGeometry().width(), before.width());
    EXPECT_GE(ms, 250);
    EXPECT_LE(ms, 2500);
}

}  // namespace
}  // namespace quorvale::test
