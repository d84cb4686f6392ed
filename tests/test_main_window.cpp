// The main window on the offscreen platform: its start state and layout, and the Choose, Save and
// Exit commands, with the folder picker, the message box and the program's end replaced.
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include "listing/list_file_name.h"
#include "runtime/folder_lock.h"
#include "support/accessible_names.h"
#include "support/fake_file_system.h"
#include "support/test_support.h"
#include "window/closing_animation.h"
#include "window/listing_view.h"
#include "window/main_window.h"

namespace quorvale::test {
namespace {

using Lines = std::vector<std::string>;

struct Message {
    QString text;
    QString title;
};

class MainWindow : public ::testing::Test {
  protected:
    MainWindow() : runtime(programFolder.Path()) {
        window::WindowHooks hooks;
        hooks.browseForFolder = [this](QWidget*, const QString& title) {
            prompts.push_back(title);
            return picker::FolderChoice(nextChoice, nextStaysOnDrive);
        };
        hooks.messageBox = [this](QWidget*, const QString& text, const QString& title) {
            messages.push_back({text, title});
        };
        hooks.endProgram = [this] { ++ended; };
        hooks.closingAnimation = [this](QWidget*) { ++animations; };
        hooks.openFolder = [this](const std::string& folder) {
            opened.push_back(folder);
            return true;
        };
        form = std::make_unique<window::MainWindow>(runtime, fs, hooks);
        form->show();
    }

    void Choose(const std::string& path) {
        nextChoice = path;
        chooseButton()->click();
    }
    QPushButton* chooseButton() const { return form->findChild<QPushButton*>("chooseButton"); }
    QPushButton* exitButton() const { return form->findChild<QPushButton*>("exitButton"); }
    QPushButton* saveButton() const { return form->findChild<QPushButton*>("saveButton"); }
    QLabel* statusLabel() const { return form->findChild<QLabel*>("statusLabel"); }
    QLabel* noticeLabel() const { return form->findChild<QLabel*>("noticeLabel"); }
    QLabel* countLabel() const { return form->findChild<QLabel*>("countLabel"); }
    QListView* listView() const { return form->findChild<QListView*>("listView"); }
    Lines ListFile(int number) {
        return SplitListFile(ReadBytes(listing::ListFilePath(programFolder.Path(), number)));
    }

    FakeFileSystem fs;
    TempDir programFolder;
    TestRuntime runtime;
    std::unique_ptr<window::MainWindow> form;
    std::string nextChoice;
    bool nextStaysOnDrive = false;  // "Stay on this drive" checked in the picker
    std::vector<QString> prompts;
    std::vector<Message> messages;
    int ended = 0;
    int animations = 0;
    std::vector<std::string> opened;  // folders opened in the file manager
};

TEST_F(MainWindow, EveryElementAScreenReaderReachesHasAName) {
    EXPECT_EQ(UnnamedAccessibleElements(form.get()).join(", ").toStdString(), "");
    fs.Add("/R", {"a"});
    Choose("/R");
    saveButton()->click();
    EXPECT_EQ(UnnamedAccessibleElements(form.get()).join(", ").toStdString(), "");
}

TEST_F(MainWindow, StartsEmptyWithItsLayoutAndTheFocusOnChoose) {
    EXPECT_EQ(form->windowTitle(), " Quorvale");
    // The window's own size, unless the screen is smaller (at twice the scale, the test's is).
    EXPECT_EQ(form->size(), QSize(792, 273).boundedTo(form->screen()->availableGeometry().size()));
    form->resize(792, 273);
    EXPECT_EQ(listView()->model()->rowCount(), 0);
    EXPECT_EQ(statusLabel()->text(), "");
    EXPECT_EQ(countLabel()->text(), "");
    EXPECT_FALSE(noticeLabel()->text().isEmpty());
    EXPECT_TRUE(noticeLabel()->toolTip().contains(QString::fromStdString(programFolder.Path())));
    EXPECT_FALSE(form->ChosenFolder().has_value());

    EXPECT_EQ(listView()->geometry(), QRect(8, 8, 777, 212));
    EXPECT_EQ(chooseButton()->geometry(), QRect(8, 232, 129, 25));
    EXPECT_EQ(exitButton()->geometry(), QRect(152, 232, 81, 25));
    EXPECT_EQ(saveButton()->geometry(), QRect(248, 232, 97, 25));
    EXPECT_EQ(statusLabel()->geometry(), QRect(360, 232, 145, 25));
    EXPECT_EQ(noticeLabel()->geometry(), QRect(8, 256, 785, 17));
    EXPECT_EQ(countLabel()->geometry(), QRect(592, 232, 185, 17));
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(192, 192, 192));
    EXPECT_EQ(listView()->palette().color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_EQ(form->windowIcon().availableSizes().value(0), QSize(24, 24));

    // Activation and the focus that follows it are events: waited for, with a generous bound, so
    // that a busy machine that delivers them late does not fail the test.
    form->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(form.get(), 60000));
    EXPECT_TRUE(WaitUntil([this] {
        QApplication::processEvents();
        return QApplication::focusWidget() == chooseButton();
    }));
    // Tab order: Choose, the list, Exit, Save.
    for (QWidget* next : {static_cast<QWidget*>(listView()), static_cast<QWidget*>(exitButton()),
                          static_cast<QWidget*>(saveButton())}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
}

// A window's Save leaves the same record as a Save from the command line; staying on the drive
// holds for the folder it was chosen with, never for the next one.
TEST_F(MainWindow, SaveRecordsTheListingAndStaysOnTheDriveOnlyForTheFolderItWasAskedWith) {
    fs.Add("/R", {"a"});
    const std::string record = programFolder / std::string(listing::kRecordName);
    nextStaysOnDrive = true;
    Choose("/R");
    saveButton()->click();
    EXPECT_NE(ReadBytes(record).find("\"oneFileSystem\": true"), std::string::npos)
        << ReadBytes(record);
    EXPECT_NE(ReadBytes(record).find("\"root\": \"/R\""), std::string::npos);
    nextStaysOnDrive = false;
    Choose("/R");
    saveButton()->click();
    EXPECT_NE(ReadBytes(record).find("\"oneFileSystem\": false"), std::string::npos)
        << ReadBytes(record);
}

TEST_F(MainWindow, EnterOrSpaceOnTheFocusedButtonRunsItsCommand) {
    fs.Add("/R", {"a"});
    nextChoice = "/R";
    form->activateWindow();
    // A key click animates the press before it clicks: wait for the command to have run.
    const auto waitFor = [](const std::function<bool()>& done) {
        return QTest::qWaitFor(done, 5000);
    };
    chooseButton()->setFocus();
    QTest::keyClick(chooseButton(), Qt::Key_Return);
    EXPECT_TRUE(waitFor([this] { return prompts.size() == 1; }));
    QTest::keyClick(chooseButton(), Qt::Key_Space);
    EXPECT_TRUE(waitFor([this] { return prompts.size() == 2; }));
    saveButton()->setFocus();
    QTest::keyClick(saveButton(), Qt::Key_Enter);
    EXPECT_TRUE(waitFor([this] { return statusLabel()->text() == "ListTex 1 To 1 Saved"; }));
    // Enter elsewhere clicks nothing: no button is a default.
    listView()->setFocus();
    QTest::keyClick(listView(), Qt::Key_Return);
    QTest::qWait(300);
    EXPECT_EQ(prompts.size(), 2u);
    EXPECT_EQ(ended, 0);
    exitButton()->setFocus();
    QTest::keyClick(exitButton(), Qt::Key_Return);
    EXPECT_TRUE(waitFor([this] { return ended == 1; }));
}

TEST_F(MainWindow, ButtonFacesAreTheWindowsGrey) {
    for (QPushButton* button : {chooseButton(), exitButton(), saveButton()}) {
        const QImage face = button->grab().toImage();
        EXPECT_EQ(QColor(face.pixel(face.width() / 2, 3)), QColor(192, 192, 192))
            << button->objectName().toStdString();
    }
}

// Every caption whole; the notice's list folder, short or far longer than the line (whatever the
// temporary folder's name), elided to fit, and whole in its tooltip.
TEST_F(MainWindow, EveryTextShowsWholeInItsControl) {
    form->resize(792, 273);
    const auto fits = [](QWidget* control, const QString& text) {
        return QFontMetrics(control->font()).horizontalAdvance(text) + 8 <= control->width();
    };
    EXPECT_TRUE(fits(chooseButton(), "Choose Folder Or Drive"));
    EXPECT_TRUE(fits(exitButton(), "Exit"));
    EXPECT_TRUE(fits(saveButton(), "Save To TxT File"));
    EXPECT_TRUE(fits(statusLabel(), "ListTex 1 To 32767 Saved"));
    EXPECT_LE(QFontMetrics(noticeLabel()->font()).height(), noticeLabel()->height());
    std::string deep = programFolder.Path();
    for (int level = 0; level < 6; ++level) {
        deep += "/" + std::string(60, static_cast<char>('a' + level));
        MakeFolder(deep);
    }
    for (const std::string& folder : {std::string("/l"), programFolder.Path(), deep}) {
        TestRuntime elsewhere(folder);
        window::MainWindow shown(elsewhere, fs, {});
        shown.resize(792, 273);
        shown.show();
        auto* notice = shown.findChild<QLabel*>("noticeLabel");
        EXPECT_TRUE(fits(notice, notice->text())) << folder;
        EXPECT_TRUE(notice->toolTip().endsWith(QString::fromStdString(folder))) << folder;
    }
}

TEST_F(MainWindow, ListShowsLinesWithTabStopsAtThirtyAndSixtyDialogUnits) {
    const qreal unit = QFontMetricsF(listView()->font()).averageCharWidth() / 4.0;
    const auto stops = form->Delegate().TabStops();
    ASSERT_EQ(stops.size(), 2);
    EXPECT_DOUBLE_EQ(stops[0], 30 * unit);
    EXPECT_DOUBLE_EQ(stops[1], 60 * unit);

    form->Buffer().AddItem("\t/a\xFF");
    form->CatchUpView();
    const QString shown = listView()->model()->index(0, 0).data().toString();
    EXPECT_EQ(shown, QString("\t/a") + QChar(0xFFFD));
    EXPECT_EQ(form->Buffer().Line(0), "\t/a\xFF");
}

TEST_F(MainWindow, ALineFarWiderThanTheListScrollsIntoViewToItsLastCharacter) {
    for (int i = 0; i < 1000; ++i) form->Buffer().AddItem("\t\tshort" + std::to_string(i));
    const std::string wide = "\t/" + std::string(600, 'w') + "/end";
    form->Buffer().AddItem(wide);
    form->CatchUpView();
    QApplication::processEvents();
    QScrollBar* sideways = listView()->horizontalScrollBar();
    ASSERT_GT(sideways->maximum(), 0);
    sideways->setValue(sideways->maximum());
    listView()->scrollTo(listView()->model()->index(1000, 0));
    QApplication::processEvents();
    // The last character ends inside the part of the list that is shown.
    const qreal textWidth =
        form->Delegate().TabStops().front() +
        QFontMetricsF(listView()->font()).horizontalAdvance(QString::fromStdString(wide.substr(1)));
    const QRect row = listView()->visualRect(listView()->model()->index(1000, 0));
    EXPECT_LE(row.left() + textWidth, listView()->viewport()->width());
    EXPECT_GE(row.left() + textWidth, 0);
}

TEST_F(MainWindow, SaveBeforeChooseOnlyAsksForAFolder) {
    saveButton()->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Choose Folder Or Drive First");
    EXPECT_EQ(messages[0].title, "Quorvale");
    EXPECT_EQ(form->Buffer().ListCount(), 0);
    EXPECT_TRUE(runtime.opened.empty());
}

TEST_F(MainWindow, CancelledChooseThenSaveWritesOneEmptyLine) {
    Choose("");
    EXPECT_EQ(prompts, (std::vector<QString>{"Select A Drive Or Folder"}));
    EXPECT_EQ(form->ChosenFolder(), "");
    EXPECT_EQ(form->windowTitle(), " Quorvale");
    saveButton()->click();
    EXPECT_EQ(ReadBytes(listing::ListFilePath(programFolder.Path(), 1)), "\r\n");
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
    EXPECT_EQ(form->windowTitle(), "  Quorvale ");
    EXPECT_EQ(form->Buffer().ListCount(), 0);
}

TEST_F(MainWindow, FolderOfTenFilesSavedTwice) {
    std::vector<std::string> files;
    for (int i = 0; i < 10; ++i) files.push_back("file" + std::to_string(i) + ".txt");
    fs.Add("/ten", files);
    Choose("/ten");
    EXPECT_EQ(form->windowTitle(), "  Quorvale In /ten");
    saveButton()->click();
    const Lines first = ListFile(1);
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first[0], "/ten");
    EXPECT_EQ(first[1], "\t/ten");
    EXPECT_EQ(first[11], "\t\tfile9.txt");
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
    EXPECT_EQ(countLabel()->text(), "");
    EXPECT_EQ(form->windowTitle(), "  Quorvale ");

    saveButton()->click();
    EXPECT_EQ(ListFile(2), first);
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 2 Saved");
    EXPECT_EQ(form->ChosenFolder(), "/ten");

    // A new choice clears the status.
    Choose("/ten");
    EXPECT_EQ(statusLabel()->text(), "");

    // A cancelled Choose after a choice leaves the empty choice, as a first one does.
    Choose("");
    EXPECT_EQ(form->ChosenFolder(), "");
    EXPECT_EQ(form->windowTitle(), "  Quorvale In /ten");
    saveButton()->click();
    EXPECT_EQ(ReadBytes(listing::ListFilePath(programFolder.Path(), 3)), "\r\n");
}

TEST_F(MainWindow, WalkThatEndsOnAFlushWritesNoExtraFile) {
    fs.Add("/full", NumberedNames("f", 31998,
                                  100000));  // root line, folder line and 31998 files: 32000 lines
    Choose("/full");
    saveButton()->click();
    EXPECT_EQ(ListFile(1).size(), 32000u);
    EXPECT_EQ(runtime.ListFilesOpened(), 1u);
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
    EXPECT_EQ(countLabel()->text(), "32000");
    EXPECT_EQ(form->windowTitle(), "  Quorvale In /full");
    EXPECT_EQ(listView()->model()->rowCount(), 0);
}

TEST_F(MainWindow, CountShowsThe32000LinesSavedWhenAFolderLineMadeThem) {
    fs.Add("/full", NumberedNames("f", 31997, 100000));
    fs.Add("/full/sub");  // root, folder line, 31997 files: 31999; sub's folder line is 32000
    Choose("/full");
    saveButton()->click();
    EXPECT_EQ(ListFile(1).size(), 32000u);
    EXPECT_EQ(ListFile(1).back(), "\t/full/sub");
    EXPECT_EQ(runtime.ListFilesOpened(), 1u);
    EXPECT_EQ(countLabel()->text(), "32000");
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
}

TEST_F(MainWindow, SaveClickedDuringAWalkDoesNothingAndChooseLeavesTheWalkAlone) {
    fs.Add("/R", {"a", "b"});
    fs.Add("/R/s", {"c"});
    fs.Add("/other", {"x"});
    Choose("/R");
    // Queued clicks run at the walk's first yield.
    QTimer::singleShot(0, saveButton(), &QPushButton::click);
    QTimer::singleShot(0, form.get(), [this] {
        EXPECT_TRUE(form->Walking());
        Choose("/other");
    });
    saveButton()->click();
    EXPECT_EQ(ListFile(1), (Lines{"/R", "\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc"}));
    EXPECT_EQ(runtime.ListFilesOpened(), 1u);
    EXPECT_EQ(form->ChosenFolder(), "/other");
    EXPECT_FALSE(form->Walking());

    saveButton()->click();
    EXPECT_EQ(ListFile(2), (Lines{"/other", "\t/other", "\t\tx"}));
}

TEST_F(MainWindow, ClosingDuringAWalkEndsWithoutWritingTheUnsavedLines) {
    fs.Add("/R", {"a", "b"});
    Choose("/R");
    QTimer::singleShot(0, exitButton(), &QPushButton::click);
    saveButton()->click();
    EXPECT_EQ(animations, 1);
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(runtime.opened.empty());
    EXPECT_FALSE(form->Walking());

    // The window's own close control takes the same path, once.
    form->close();
    EXPECT_EQ(ended, 1);
}

// Making the record durable may wait on the disk for long: the window answers meanwhile (held
// here until the window's own timer, which only its event loop runs, lets it go).
TEST_F(MainWindow, AnswersWhileTheIndexAndTheRecordAreMadeDurable) {
    fs.Add("/R", {"a"});
    Choose("/R");
    for (const std::string_view name : {listing::kIndexName, listing::kRecordName}) {
        runtime.holdOnly = std::string(name);
        runtime.holdCommits = true;
        runtime.releaseCommits = false;
        int answered = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (!runtime.commitHeld) return;
            ++answered;
            runtime.releaseCommits = true;
        });
        timer.start(5);
        saveButton()->click();
        EXPECT_FALSE(runtime.commitWaitedOut) << name;
        EXPECT_GE(answered, 1) << name;
        EXPECT_TRUE(statusLabel()->text().startsWith("ListTex")) << name;
    }
}

TEST_F(MainWindow, FailedWriteIsShownAndNeverReportedAsSaved) {
    fs.Add("/R", {"a"});
    Choose("/R");
    runtime.failOpen = runtime::PermissionDenied;
    saveButton()->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains(
        QString::fromStdString(listing::ListFilePath(programFolder.Path(), 1))));
    EXPECT_TRUE(messages[0].text.contains("refused"));
    EXPECT_EQ(statusLabel()->text(), "Not Saved");
    EXPECT_EQ(form->windowTitle(), "  Quorvale In /R");
    // The lines are still on screen, and the program goes on: the next Save starts afresh.
    EXPECT_EQ(listView()->model()->rowCount(), 3);
    runtime.failOpen = 0;
    saveButton()->click();
    EXPECT_EQ(ListFile(1), (Lines{"/R", "\t/R", "\t\ta"}));
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
}

TEST_F(MainWindow, ASaveIntoAFolderAnotherProgramIsSavingIntoIsRefused) {
    fs.Add("/R", {"a"});
    Choose("/R");
    {
        runtime::FolderLock other(programFolder.Path());
        saveButton()->click();
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains("Another Quorvale is saving list files in \"" +
                                          QString::fromStdString(programFolder.Path()) + "\""));
    EXPECT_EQ(statusLabel()->text(), "Not Saved");
    EXPECT_FALSE(Exists(listing::ListFilePath(programFolder.Path(), 1)));
    saveButton()->click();
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
}

// The toolkit has nothing to warn of during a Save with one denial and one folder cut short (a
// text with no place for its number was one): every message it would print is caught and counted.
std::vector<std::string>* caughtToolkitMessages = nullptr;
void CatchToolkitMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (caughtToolkitMessages != nullptr && type != QtDebugMsg && type != QtInfoMsg) {
        caughtToolkitMessages->push_back(text.toStdString());
    }
}

TEST_F(MainWindow, ASaveWithOneDenialSaysSoWithNoToolkitWarning) {
    fs.Add("/R", {"a"});
    fs.Add("/R/d", {"x"});
    fs.Fail(Call::Files, "/R/d", runtime::PermissionDenied);
    fs.Add("/R/s", {"c"});
    fs.Fail(Call::Files, "/R/s", runtime::DeviceIOError);
    std::vector<std::string> caught;
    caughtToolkitMessages = &caught;
    const QtMessageHandler before = qInstallMessageHandler(CatchToolkitMessage);
    Choose("/R");
    saveButton()->click();
    qInstallMessageHandler(before);
    caughtToolkitMessages = nullptr;
    EXPECT_TRUE(noticeLabel()->text().contains("; 1 denial, 1 folder cut short."))
        << noticeLabel()->text().toStdString();
    EXPECT_TRUE(caught.empty()) << caught.front();
    // Where to find what was saved is a tip away.
    EXPECT_TRUE(form->findChild<QWidget*>("listView")->toolTip().contains("Ctrl+F"));
}

TEST_F(MainWindow, FoldersLeftOutForAnyReasonButPermissionAreNamedAfterTheSave) {
    fs.Add("/R", {"a"});
    fs.Add("/R/s", {"c"});
    fs.Fail(Call::Files, "/R/s", runtime::DeviceIOError);
    for (const std::string denied : {"/R/d1", "/R/d2"}) {
        fs.Add(denied, {"x"});
        fs.Fail(Call::Files, denied, runtime::PermissionDenied);
    }
    Choose("/R");
    saveButton()->click();
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.startsWith(
        "The listing is not complete: 1 folder was left out or cut short.\n\n/R/s\n"));
    // The notice line counts each kind apart.
    EXPECT_TRUE(noticeLabel()->text().contains("; 2 denials, 1 folder cut short."))
        << noticeLabel()->text().toStdString();
    EXPECT_TRUE(messages[0].text.contains("injected fault on /R/s"));

    // A chosen folder that is gone by the time of the Save is one such folder.
    Choose("/gone");
    saveButton()->click();
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 2 Saved");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[1].text.contains("\n/gone\n"));
}

TEST_F(MainWindow, AFolderGivenAtStartOrDroppedIsChosenAsByChoose) {
    TempDir dir;
    MakeFolder(dir / "given");
    MakeFile(dir / "a file");
    EXPECT_TRUE(form->ChooseFolder(dir / "given"));
    EXPECT_EQ(form->windowTitle(), QString::fromStdString("  Quorvale In " + dir / "given"));
    EXPECT_EQ(form->ChosenFolder(), dir / "given");

    // Not a folder: a message names it, and the earlier choice stays.
    EXPECT_FALSE(form->ChooseFolder(dir / "a file"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains(QString::fromStdString(dir / "a file")));
    EXPECT_EQ(form->ChosenFolder(), dir / "given");

    // Dropped from a file manager.
    MakeFolder(dir / "dropped");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir / "dropped"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &drop);
    EXPECT_EQ(form->ChosenFolder(), dir / "dropped");
    EXPECT_EQ(form->windowTitle(), QString::fromStdString("  Quorvale In " + dir / "dropped"));
}

TEST_F(MainWindow, LayoutScalesAsAWhole) {
    // In logical pixels the layout is the same at any scale; the screen shows it scaled.
    form->resize(792, 273);
    EXPECT_EQ(saveButton()->geometry(), QRect(248, 232, 97, 25));
    const qreal scale = form->devicePixelRatioF();
    const QImage shot = form->grab().toImage();
    EXPECT_EQ(shot.size(), QSize(qRound(792 * scale), qRound(273 * scale)));
    EXPECT_EQ(countLabel()->geometry().left() - statusLabel()->geometry().right(), 88);
}

// The window opens within its screen at any scale, and grows or shrinks around its list: the
// buttons and labels keep their places relative to the list's bottom-left; the closing sequence
// plays from any size.
TEST_F(MainWindow, OpensWithinTheScreenAndResizesAroundTheList) {
    const QRect screen = form->screen()->availableGeometry();
    EXPECT_LE(form->width(), screen.width());
    EXPECT_LE(form->height(), screen.height());
    EXPECT_LE(form->minimumWidth(), screen.width());
    form->resize(1000, 500);
    EXPECT_EQ(listView()->geometry(), QRect(8, 8, 985, 439));
    EXPECT_EQ(chooseButton()->geometry(), QRect(8, 459, 129, 25));
    EXPECT_EQ(exitButton()->geometry(), QRect(152, 459, 81, 25));
    EXPECT_EQ(saveButton()->geometry(), QRect(248, 459, 97, 25));
    EXPECT_EQ(statusLabel()->geometry(), QRect(360, 459, 145, 25));
    EXPECT_EQ(countLabel()->geometry(), QRect(592, 459, 185, 17));
    EXPECT_EQ(noticeLabel()->geometry(), QRect(8, 483, 993, 17));
    QApplication::processEvents();
    window::PlayClosingAnimation(form.get());
    EXPECT_LT(form->width(), 1000);
    EXPECT_LT(form->height(), 500);
}

// Ctrl+O chooses, Ctrl+S saves, Ctrl+Q exits through the closing sequence.
TEST_F(MainWindow, TheUsualKeysChooseSaveAndExit) {
    fs.Add("/R", {"a"});
    nextChoice = "/R";
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(prompts.size(), 1u);
    EXPECT_EQ(form->ChosenFolder(), "/R");
    QTest::keyClick(form.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 1 Saved");
    QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(animations, 1);
    EXPECT_EQ(ended, 1);
}

// After a Save the notice line says which list files this Save wrote (the status counts from the
// run's first) and offers to open their folder.
TEST_F(MainWindow, TheNoticeSaysWhatThisSaveWroteAndOpensTheFolder) {
    std::vector<std::string> files;
    for (int i = 0; i < 40000; ++i) files.push_back("f" + std::to_string(i));
    fs.Add("/big", files);
    Choose("/big");
    saveButton()->click();
    EXPECT_TRUE(noticeLabel()->toolTip().startsWith("This Save: ListTex1.txt to ListTex2.txt in "))
        << noticeLabel()->toolTip().toStdString();
    saveButton()->click();
    EXPECT_EQ(statusLabel()->text(), "ListTex 1 To 4 Saved");
    EXPECT_EQ(noticeLabel()->toolTip(), "This Save: ListTex3.txt to ListTex4.txt in " +
                                            QString::fromStdString(programFolder.Path()) + ".");
    emit noticeLabel()->linkActivated("open");
    EXPECT_EQ(opened, std::vector<std::string>{programFolder.Path()});
}

TEST_F(MainWindow, NumberOverflowIsShown) {
    fs.Add("/R");
    Choose("/R");
    form->Core().SetListFileNumber(32767);
    saveButton()->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains("ListTex32767.txt"));
    EXPECT_EQ(statusLabel()->text(), "Not Saved");
}

TEST_F(MainWindow, ViewCatchesUpWithoutARowPerYield) {
    fs.Add("/big", NumberedNames("f", 20000));
    Choose("/big");
    int insertions = 0;
    QObject::connect(listView()->model(), &QAbstractItemModel::rowsInserted,
                     [&insertions] { ++insertions; });
    saveButton()->click();
    EXPECT_LT(insertions, 2000);  // far fewer than one per line
    EXPECT_EQ(ListFile(1).size(), 20002u);
}

}  // namespace
}  // namespace quorvale::test
