// "Find in kept listings": a pattern, the matches in the kept listings as each listing is searched
// (path, drive, when it was listed, and once every listing was searched, how many other copies
// of the file the listings saved with hashes hold), their count and Stop; Enter or a double click
// opens the folder holding a match in the file manager when its drive is mounted where it was
// listed; a match's context menu lists where its copies are.
//
// Threads: the dialog and its state belong to the window's thread. A search runs on a thread of
// its own (catalogue::BackgroundSearch), which only reads kept listings and hands each listing's
// matches back through a queue the dialog takes from on a timer; the dialog never waits on the
// disk, nor for a search: a new search and Stop ask the running one to stop, and a stopped search
// is let go of once it has ended. Closing the dialog for good stops and joins what still runs
// (each notices within a few thousand entries).
#pragma once

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/background_search.h"
#include "catalogue/drive_catalogue.h"
#include "catalogue/listing_find.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace quorvale::window {

// One match as the dialog shows it.
struct FoundMatch {
    std::string path;    // as the listing wrote it, a folder's ending in "/"
    std::string drive;   // the listed drive's label, else its UUID, else its source
    std::string listed;  // when its Save ended (UTC)
    std::shared_ptr<const catalogue::ListingRecord> record;  // of its listing
    // The other copies of its file in the listings saved with hashes, once the search told them.
    std::vector<catalogue::BackgroundSearch::Copy> copies;
};

// What the dialog asks of the world around it; tests replace it.
struct FindDialogHooks {
    // Opens `folder` (bytes) in the file manager; false when it could not be handed over.
    std::function<bool(const std::string& folder)> openFolder;
};

FindDialogHooks DefaultFindDialogHooks();

class FindDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kMostShown = 10000;   // matches listed; the count goes on past them
    static constexpr int kShownPerTick = 500;  // rows added to the list at a time

    // `defaultFolder`: where a Save without a chosen list folder writes; the folders the person
    // added are remembered with the application's settings.
    FindDialog(std::string defaultFolder, FindDialogHooks hooks = DefaultFindDialogHooks(),
               QWidget* parent = nullptr);
    ~FindDialog() override;

    // State, for tests.
    bool Searching() const { return search_ && !finished_; }
    std::uint64_t Found() const { return found_; }
    const std::vector<std::string>& Folders() const { return folders_; }
    const std::vector<FoundMatch>& Matches() const { return matches_; }
    QString Notice() const;
    // Opens the folder holding the match in `row`, as Enter or a double click on it does.
    void OpenMatchAt(int row);
    // Adds a folder to search (remembered for later searches).
    void AddFolder(const std::string& folder);
    // The lines of the context menu of the match in `row`: where its other copies are.
    QStringList CopiesMenuAt(int row) const;

  public slots:
    void startSearch();
    void stopSearch();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void TakeHanded();
    void TakeCopies(
        std::vector<std::pair<std::size_t, std::vector<catalogue::BackgroundSearch::Copy>>>&
            copies);
    void ShowCopiesMenu(const QPoint& at);
    void RetireSearch();
    std::string DriveShown(const catalogue::ListingRecord& record);

    void AddFolderByPicker();
    void ShowCount();

    FindDialogHooks hooks_;
    std::vector<std::string> folders_;
    std::size_t builtInFolders_ = 1;  // the ones not added by the user (not remembered)
    catalogue::DriveNotes notes_{catalogue::CatalogueFolder()};  // read once a search
    QLineEdit* patternEdit_;
    QTreeWidget* matchesView_;
    QLabel* countLabel_;
    QLabel* noticeLabel_;
    QPushButton* findButton_;
    QPushButton* stopButton_;
    QPushButton* addFolderButton_;
    QTimer* takeTimer_;

    std::unique_ptr<catalogue::BackgroundSearch> search_;  // the one whose matches are shown
    std::vector<std::unique_ptr<catalogue::BackgroundSearch>> stopping_;  // asked to stop
    std::uint64_t found_ = 0;
    bool finished_ = true;
    std::vector<std::string> problems_;
    std::vector<FoundMatch> matches_;  // the ones shown, row for row
    std::deque<FoundMatch> toShow_;    // handed over, not yet shown
};

}  // namespace quorvale::window
