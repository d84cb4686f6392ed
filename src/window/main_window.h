// The main window: the list, the Choose / Exit / Save buttons, the status, notice and count labels,
// and the three commands with their state.
//
// Threads and re-entry: everything here runs on the window's thread. A Save walks the tree on that
// thread and lets the window catch up (paints and pending events) about once a frame from inside
// the walk, so clicks are handled in the middle of it. `walking_` turns a second Save into a no-op
// while one runs; Choose only changes the folder the next Save lists; Exit plays the closing
// sequence and ends the program from inside the walk. The program ends with _Exit: the walk it
// abandons is still on the stack below, and none of it may run again (unwinding would resume it,
// destructors would save or report a listing the user walked away from). The listing's reader
// threads and list-file commits never touch the window: the walk on this thread takes what they
// did.
#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "picker/folder_picker.h"
#include "reading/file_system.h"
#include "runtime/runtime_services.h"
#include "window/find_dialog.h"

class QLabel;
class QListView;
class QPushButton;

namespace quorvale::window {

class ListingModel;
class TabStopDelegate;
class BrowseWindow;

// What the window asks of the world around it; tests replace the parts that would block or end
// the process.
struct WindowHooks {
    // The folder picker: returns the chosen folder, with an empty path on Cancel.
    std::function<picker::FolderChoice(QWidget* owner, const QString& title)> browseForFolder;
    // A modal message box with an information icon and one OK button.
    std::function<void(QWidget* owner, const QString& text, const QString& title)> messageBox;
    // Ends the program at once.
    std::function<void()> endProgram;
    // Plays the closing sequence on the window.
    std::function<void(QWidget* window)> closingAnimation;
    // Opens a folder (bytes) in the file manager, from a match of "Find in kept listings".
    std::function<bool(const std::string& folder)> openFolder;
};

WindowHooks DefaultWindowHooks();

class MainWindow : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kCatchUpIntervalMs = 15;  // how often a walk lets the window catch up
    static constexpr int kLinesPerClockRead = 64;

    MainWindow(runtime::RuntimeServices& runtime, reading::FileSystem& fileSystem,
               WindowHooks hooks = DefaultWindowHooks(), QWidget* parent = nullptr);
    ~MainWindow() override;

    // State, for the program's own use and for tests.
    listing::ListingBuffer& Buffer() { return buffer_; }
    listing::ListingCore& Core() { return core_; }
    // The folder the next Save lists; none before the first Choose, empty after a cancelled one.
    const std::optional<std::string>& ChosenFolder() const { return chosenFolder_; }
    bool Walking() const { return walking_; }
    const TabStopDelegate& Delegate() const { return *delegate_; }

    // Brings the list and the count display up to date with the buffer.
    void CatchUpView();

    // Chooses `path` (bytes) as if it had been picked with Choose Folder Or Drive; a path that is
    // not a folder gets a message box naming it, and nothing is chosen. Returns whether it was.
    bool ChooseFolder(const std::string& path);
    // "Find in kept listings", opened beside the window (Ctrl+F, or its context menu); null
    // until first opened.
    FindDialog* Finder() const { return findDialog_; }
    BrowseWindow* Browser() const { return browseWindow_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  public slots:
    void openFind();
    void openBrowse();

  private slots:
    void choose();
    void save();
    void exit();

  private:
    void LayOut();
    void ShowNotice();
    void ShowWhatThisSaveWrote(int firstListFile);
    void CatchUpAfterLine();
    void CatchUpDuringWalk();
    void ShowSaveError(const runtime::RuntimeError& error);
    void ShowIncompleteFolders();
    void SetChosenFolder(picker::FolderChoice choice);
    QString SavedStatus() const;

    WindowHooks hooks_;
    runtime::RuntimeServices& runtime_;
    listing::ListingBuffer buffer_;
    listing::ListingCore core_;
    std::optional<std::string> chosenFolder_;
    bool stayOnDrive_ = false;  // asked with the chosen folder in the picker, for its Saves
    int shownCount_ = -1;       // what the count display shows; -1 for nothing
    bool walking_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point lastCatchUp_;
    int linesSinceClockRead_ = 0;

    QListView* listView_;
    QPushButton* chooseButton_;
    QPushButton* exitButton_;
    QPushButton* saveButton_;
    QLabel* statusLabel_;
    QLabel* noticeLabel_;
    QLabel* countLabel_;
    ListingModel* model_;
    TabStopDelegate* delegate_;
    FindDialog* findDialog_ = nullptr;
    BrowseWindow* browseWindow_ = nullptr;
    QString listFolder_;    // where the list files go, as the notice line names it
    QString noticeBefore_;  // the notice line's text before the folder's name
};

// The control font: the largest sans-serif size up to 8 points at which every text of the window
// shows whole in its control.
QFont ControlFont(const QFont& base);

}  // namespace quorvale::window
