// "Browse kept listings" (Ctrl+L): on the left the drives listed (the newest listing of each, by
// its label or model and size; every listing with "Older listings"), on the right the folder tree
// of the chosen one, read from its index and its sizes a folder at a time as folders are opened,
// with each folder's size, share of its parent, files and time, largest first. Find (Ctrl+F)
// shows the matches of a pattern in the listing and reveals the chosen one in the tree. Enter or
// a double click opens a folder (a file's folder) in the file manager when its drive is mounted,
// where it was listed or elsewhere; otherwise the status line says which drive to connect.
//
// Threads: the window and its model belong to the window's thread; everything that reads a
// listing (finding the listings, opening one, a folder's children, a search, where a drive is
// now) runs on the window's reader thread, which alone owns the listing open, and hands its
// answer back as an event the window takes; each answer carries the generation of the listing
// it is of, and one of a listing no longer shown is dropped. Closing the window stops the reader
// thread (after the request it is at) and joins it.
#pragma once

#include <QDialog>
#include <QThread>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/listing_find.h"
#include "catalogue/listing_tree.h"
#include "window/browse_model.h"
#include "window/find_dialog.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QTimer;
class QTreeView;

namespace quorvale::window {

class BrowseReader;
struct RevealPlan;

class BrowseWindow : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kMostMatches = 1000;

    // `folders`: where to look for kept listings (and two levels below). `threaded` false (for
    // tests): no reader thread is started, as when none can be had.
    BrowseWindow(std::vector<std::string> folders, FindDialogHooks hooks = DefaultFindDialogHooks(),
                 QWidget* parent = nullptr, bool threaded = true);
    ~BrowseWindow() override;

    // State, for tests.
    QListWidget* Drives() const { return drivesList_; }
    QTreeView* Tree() const { return tree_; }
    QListWidget* Matches() const { return matchesList_; }
    QLineEdit* FindEdit() const { return findEdit_; }
    QString Status() const;
    const catalogue::TreeRow* CurrentRow() const;
    // Whether an answer of the reader thread is awaited or rows wait to be added.
    bool Busy() const;

  public slots:
    // Looks for the kept listings again.
    void refresh();
    void showFind();

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void Post(std::function<void(BrowseReader&)> request);
    void ShowListings(std::vector<catalogue::ListingToSearch> listings);
    void OpenListing(int row);
    void Opened(std::uint64_t generation, const catalogue::TreeRow& root, const std::string& why);
    void AskChildren(std::uint64_t folder, std::uint64_t first);
    void Children(std::uint64_t generation, std::uint64_t folder, BrowseModel::Page page,
                  const std::string& why, bool last);
    void Find();
    void Found(std::uint64_t generation, std::vector<std::string> paths, const std::string& why);
    void Reveal(int match);
    void ShowRevealed(std::uint64_t generation, const RevealPlan& plan);
    void OpenInFileManager(const QModelIndex& index);
    void SetStatus(const std::string& text);

    std::vector<std::string> folders_;
    FindDialogHooks hooks_;
    std::vector<catalogue::ListingToSearch> listings_;  // as the drives list shows them
    std::uint64_t generation_ = 0;                      // of the listing shown
    int awaited_ = 0;                                   // answers asked for and not yet taken

    QListWidget* drivesList_;
    QCheckBox* olderCheck_;
    QTreeView* tree_;
    BrowseModel* model_;
    QLineEdit* findEdit_;
    QListWidget* matchesList_;
    QLabel* statusLabel_;
    QTimer* sliceTimer_;

    QThread thread_;
    bool threaded_ = false;  // thread_ runs: reads are asked of it, else made here
    BrowseReader* reader_;   // lives on thread_; deleted once it has ended
};

}  // namespace quorvale::window
