// The folder picker: a modal dialog that lets the user choose a folder or a drive and returns its
// path. It shows the prompt above a tree of folders from the file-system root, with the home
// folder and the mounted drives one click away, a status line with the full path of the
// highlighted folder, and a location field (focused when the dialog opens) where a path can be
// typed or pasted; Enter there accepts it if it is an existing folder.
#pragma once

#include <QDialog>
#include <QString>
#include <string>

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QListWidget;
class QTreeView;

namespace quorvale::picker {

class FolderPickerDialog : public QDialog {
    Q_OBJECT

  public:
    FolderPickerDialog(QWidget* owner, const QString& title);

    // The accepted folder's path, without a trailing "/" (except "/" itself).
    QString ChosenPath() const { return chosen_; }
    QLineEdit* Location() const { return location_; }
    QLabel* Status() const { return status_; }
    QListWidget* Places() const { return places_; }

    // Accepts the folder named in the location field if it exists; otherwise says so in the status
    // line and stays open.
    void AcceptLocation();

  private:
    void Highlight(const QString& path);

    QLineEdit* location_;
    QListWidget* places_;
    QTreeView* tree_;
    QFileSystemModel* model_;
    QLabel* status_;
    QString chosen_;
};

// Runs the dialog; returns the chosen folder's path as the file system's bytes, or the empty string
// when the user cancels.
std::string BrowseForFolder(QWidget* owner, const QString& title);

// Cleans a path typed by the user: "~" is the home folder, a relative path is taken from the home
// folder, and repeated or trailing "/" go ("/" itself stays).
QString NormalisedFolderPath(const QString& typed);

}  // namespace quorvale::picker
