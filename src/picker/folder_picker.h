// The folder picker: a modal dialog that lets the user choose a folder or a drive and returns its
// path. It shows the prompt above a tree of folders from the file-system root, with the home
// folder and the mounted drives one click away, a status line with the full path of the
// highlighted folder, and a location field (focused when the dialog opens) where a path can be
// typed or pasted; Enter there accepts it if it is an existing folder.
//
// Paths are the file system's bytes throughout. The tree reads folders itself, so a folder whose
// name is not UTF-8 is shown (its stray bytes as U+FFFD) and chosen by its real name; nothing the
// user picks or types is trimmed, and ".." is left for the file system to resolve.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <string>
#include <utility>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QStandardItem;
class QStandardItemModel;
class QTreeView;

namespace quorvale::picker {

// What the user chose: a folder's path as the file system's bytes (empty on Cancel), and whether
// the listing is to stay on that folder's drive.
struct FolderChoice {
    FolderChoice() = default;
    FolderChoice(std::string chosen, bool stay = false)
        : path(std::move(chosen)), stayOnDrive(stay) {}
    std::string path;
    bool stayOnDrive = false;
};

class FolderPickerDialog : public QDialog {
    Q_OBJECT

  public:
    FolderPickerDialog(QWidget* owner, const QString& title);

    // The accepted folder's path as the file system's bytes.
    QByteArray ChosenPath() const { return chosen_; }
    QLineEdit* Location() const { return location_; }
    QLabel* Status() const { return status_; }
    QListWidget* Places() const { return places_; }
    QTreeView* FolderTree() const { return tree_; }
    // "Stay on this drive": off whenever the dialog opens.
    QCheckBox* StayOnDrive() const { return stayOnDrive_; }

    // Highlights the folder `path` (bytes) in the tree, opening its ancestors; false if the tree
    // has no such folder.
    bool HighlightPath(const QByteArray& path);

  private slots:
    // Accepts the highlighted folder, or the one named in the location field if it exists;
    // otherwise says so in the status line and stays open.
    void acceptLocation();

  private:
    void Highlight(const QByteArray& path);
    void FillChildren(QStandardItem* item);
    QStandardItem* Child(QStandardItem* item, const QByteArray& name);

    QLineEdit* location_;
    QListWidget* places_;
    QTreeView* tree_;
    QStandardItemModel* model_;
    QLabel* status_;
    QCheckBox* stayOnDrive_;
    QByteArray highlighted_;  // the highlighted folder; the location field shows its name
    QString highlightedText_;
    QByteArray chosen_;
};

// Runs the dialog; returns the chosen folder (an empty path when the user cancels).
FolderChoice BrowseForFolder(QWidget* owner, const QString& title);

// The path a typed or pasted text names, as bytes: the line break a paste may bring is dropped
// (nothing else: spaces and tabs are part of names), "~" is the home folder, a relative path is
// taken from the home folder, and repeated or trailing "/" go ("/" itself stays). "." and ".."
// stay as typed, for the file system to resolve.
QByteArray TypedFolderPath(const QString& typed);

// How a path's bytes are shown: UTF-8, with bytes that are not UTF-8 as U+FFFD.
QString DisplayPath(const QByteArray& path);

}  // namespace quorvale::picker
