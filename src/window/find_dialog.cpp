#include "window/find_dialog.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "catalogue/drive_catalogue.h"
#include "catalogue/drive_now.h"
#include "runtime/file_system_facts.h"
#include "runtime/path_join.h"
#include "runtime/unique_fd.h"

namespace quorvale::window {

namespace {

// How often the dialog takes what the search handed it.
constexpr int kTakeIntervalMs = 30;
// The settings live in ~/.config/quorvale/quorvale.conf (XDG_CONFIG_HOME when set).
constexpr const char* kSettingsFolder = "quorvale";
constexpr const char* kSettingsName = "quorvale";
constexpr const char* kFoldersKey = "find/folders";

// When a Save ended, as the record keeps it (UTC), in this machine's local time as people read it
// ("2026-12-09 09:15:02"); as kept when it is no such time.
std::string LocalTime(const std::string& utc) {
    const QDateTime time = QDateTime::fromString(QString::fromStdString(utc), Qt::ISODate);
    if (!time.isValid()) return utc;
    return time.toLocalTime().toString("yyyy-MM-dd HH:mm:ss").toStdString();
}

QString Shown(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), bytes.size());
}

// The Copies column of a match: how many other copies its file has ("" when none is known).
QString CopiesShown(const std::vector<catalogue::BackgroundSearch::Copy>& copies) {
    return copies.empty() ? QString() : QString::number(copies.size());
}

// The folder holding a match: a folder's own path, a file's folder.
std::string FolderOf(const std::string& path) {
    if (path.ends_with('/')) return path.size() > 1 ? path.substr(0, path.size() - 1) : path;
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FindDialogHooks DefaultFindDialogHooks() {
    FindDialogHooks hooks;
    hooks.openFolder = [](const std::string& folder) {
        // The URL is made from the path's bytes, so a name that is not UTF-8 opens as it is.
        const QByteArray bytes(folder.data(), static_cast<qsizetype>(folder.size()));
        return QDesktopServices::openUrl(
            QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/")));
    };
    return hooks;
}

FindDialog::FindDialog(std::string defaultFolder, FindDialogHooks hooks, QWidget* parent)
    : QDialog(parent), hooks_(std::move(hooks)) {
    setWindowTitle("Find in kept listings");
    setAccessibleName("Find in kept listings");
    folders_.push_back(std::move(defaultFolder));
    // The catalogue the command line's Saves keep, where there is one yet.
    if (std::string catalogue = catalogue::CatalogueFolder();
        !catalogue.empty() && ::access(catalogue.c_str(), F_OK) == 0 &&
        catalogue != folders_.front()) {
        folders_.push_back(std::move(catalogue));
    }
    builtInFolders_ = folders_.size();
    const QSettings settings(kSettingsFolder, kSettingsName);
    for (const QVariant& folder : settings.value(kFoldersKey).toList()) {
        const QByteArray bytes = folder.toByteArray();
        const std::string added(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        if (std::find(folders_.begin(), folders_.end(), added) == folders_.end()) {
            folders_.push_back(added);
        }
    }
    patternEdit_ = new QLineEdit(this);
    patternEdit_->setAccessibleName("Pattern");
    patternEdit_->setPlaceholderText("Part of a path, or a pattern such as *.jpg");
    findButton_ = new QPushButton("&Find", this);
    findButton_->setAccessibleName("Find");
    stopButton_ = new QPushButton("&Stop", this);
    stopButton_->setAccessibleName("Stop");
    stopButton_->setEnabled(false);
    addFolderButton_ = new QPushButton("&Add Folder...", this);
    addFolderButton_->setAccessibleName("Add a folder to search");
    matchesView_ = new QTreeWidget(this);
    matchesView_->setAccessibleName("Matches");
    matchesView_->setHeaderLabels({"Path", "Drive", "Listed", "Copies"});
    matchesView_->setContextMenuPolicy(Qt::CustomContextMenu);
    matchesView_->setRootIsDecorated(false);
    matchesView_->setUniformRowHeights(true);
    // A path too long for its column loses its middle, never its end: the name stays.
    matchesView_->setTextElideMode(Qt::ElideMiddle);
    matchesView_->header()->setStretchLastSection(false);
    matchesView_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    matchesView_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    matchesView_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    matchesView_->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    countLabel_ = new QLabel(this);
    countLabel_->setAccessibleName("Matches found");
    noticeLabel_ = new QLabel(this);
    noticeLabel_->setAccessibleName("Notice");
    noticeLabel_->setWordWrap(true);
    auto* top = new QHBoxLayout;
    top->addWidget(patternEdit_, 1);
    top->addWidget(findButton_);
    top->addWidget(stopButton_);
    top->addWidget(addFolderButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(matchesView_, 1);
    layout->addWidget(countLabel_);
    layout->addWidget(noticeLabel_);
    resize(760, 420);
    takeTimer_ = new QTimer(this);
    takeTimer_->setInterval(kTakeIntervalMs);
    connect(takeTimer_, &QTimer::timeout, this, [this] { TakeHanded(); });
    connect(patternEdit_, &QLineEdit::returnPressed, this, &FindDialog::startSearch);
    connect(findButton_, &QPushButton::clicked, this, &FindDialog::startSearch);
    connect(stopButton_, &QPushButton::clicked, this, &FindDialog::stopSearch);
    connect(addFolderButton_, &QPushButton::clicked, this, [this] { AddFolderByPicker(); });
    // Enter and a double click on a match both activate it.
    connect(matchesView_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        OpenMatchAt(matchesView_->indexOfTopLevelItem(item));
    });
    connect(matchesView_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ShowCopiesMenu(at); });
    // Enter in the pattern searches; no button takes Enter as the dialog's default.
    for (QPushButton* button : {findButton_, stopButton_, addFolderButton_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    patternEdit_->setFocus();
}

// The searches still running are stopped and joined with their owners: each notices within a few
// thousand entries.
FindDialog::~FindDialog() = default;

void FindDialog::AddFolder(const std::string& folder) {
    if (folder.empty() || std::find(folders_.begin(), folders_.end(), folder) != folders_.end()) {
        return;
    }
    folders_.push_back(folder);
    // Kept as bytes, so a folder whose name is not UTF-8 is searched again as it is.
    QVariantList added;
    for (std::size_t i = builtInFolders_; i < folders_.size(); ++i) {
        added << QByteArray(folders_[i].data(), static_cast<qsizetype>(folders_[i].size()));
    }
    QSettings(kSettingsFolder, kSettingsName).setValue(kFoldersKey, added);
}

void FindDialog::AddFolderByPicker() {
    const QString folder = QFileDialog::getExistingDirectory(this, "Add a folder to search");
    const QByteArray bytes = folder.toUtf8();
    AddFolder(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void FindDialog::startSearch() {
    RetireSearch();
    const QByteArray pattern = patternEdit_->text().toUtf8();
    if (pattern.isEmpty()) return;
    matchesView_->clear();
    matches_.clear();
    toShow_.clear();
    problems_.clear();
    noticeLabel_->clear();
    found_ = 0;
    finished_ = false;
    stopButton_->setEnabled(true);
    ShowCount();
    catalogue::FindQuery query{std::string(pattern.constData(), pattern.size()), false, true};
    takeTimer_->start();
    notes_.Forget();
    search_ = std::make_unique<catalogue::BackgroundSearch>(folders_, std::move(query),
                                                            static_cast<std::size_t>(kMostShown));
}

// What the search found so far stays shown; what it would hand over after is no part of it.
void FindDialog::stopSearch() {
    TakeHanded();
    if (!search_) return;
    RetireSearch();
    finished_ = true;
    stopButton_->setEnabled(false);
    ShowCount();
}

// The drive as the matches name it: by its name, and the note kept of it ("shelf 3").
std::string FindDialog::DriveShown(const catalogue::ListingRecord& record) {
    const std::string& note = notes_.Of(record);
    return note.empty() ? catalogue::DriveName(record)
                        : catalogue::DriveName(record) + " (" + note + ")";
}

// Asks the search to stop and lets go of it once it has: the window's thread never waits for it.
void FindDialog::RetireSearch() {
    if (!search_) return;
    search_->Stop();
    stopping_.push_back(std::move(search_));
    takeTimer_->start();
}

// On the window's thread: what the search handed over since the last time, into the view.
void FindDialog::TakeHanded() {
    // Searches stopped earlier are let go of once they have ended (joining them waits for nothing).
    std::erase_if(stopping_, [](const auto& search) { return search->Ended(); });
    std::deque<catalogue::BackgroundSearch::Handed> taken;
    if (search_) taken = search_->Take();
    for (catalogue::BackgroundSearch::Handed& handed : taken) {
        if (!handed.problem.empty()) problems_.push_back(std::move(handed.problem));
        found_ += handed.found;
        for (catalogue::BackgroundSearch::Match& match : handed.matches) {
            if (matches_.size() + toShow_.size() >= static_cast<std::size_t>(kMostShown)) break;
            const std::string ended = LocalTime(match.record->ended);
            toShow_.push_back({std::move(match.path), DriveShown(*match.record),
                               match.beforeASave ? ended + " (before the Save now running)" : ended,
                               std::move(match.record)});
        }
        TakeCopies(handed.copies);
        if (handed.finished) {
            finished_ = true;
            stopButton_->setEnabled(false);
        }
    }
    // A few hundred rows a tick, so the window answers at once however many a listing gave.
    QList<QTreeWidgetItem*> items;
    while (!toShow_.empty() && items.size() < kShownPerTick) {
        FoundMatch& match = toShow_.front();
        auto* item = new QTreeWidgetItem({Shown(match.path), Shown(match.drive),
                                          Shown(match.listed), CopiesShown(match.copies)});
        item->setToolTip(0, item->text(0));
        items.append(item);
        matches_.push_back(std::move(match));
        toShow_.pop_front();
    }
    if (!items.isEmpty()) matchesView_->addTopLevelItems(items);
    if (finished_ && toShow_.empty() && stopping_.empty()) takeTimer_->stop();
    if (!taken.empty() || !items.isEmpty()) ShowCount();
}

// The other copies the search told, to the matches they are of: into the rows shown, or with the
// matches still to be shown.
void FindDialog::TakeCopies(
    std::vector<std::pair<std::size_t, std::vector<catalogue::BackgroundSearch::Copy>>>& copies) {
    for (auto& [number, others] : copies) {
        if (number < matches_.size()) {
            matches_[number].copies = std::move(others);
            if (QTreeWidgetItem* item = matchesView_->topLevelItem(static_cast<int>(number))) {
                item->setText(3, CopiesShown(matches_[number].copies));
            }
        } else if (number - matches_.size() < toShow_.size()) {
            toShow_[number - matches_.size()].copies = std::move(others);
        }
    }
}

QStringList FindDialog::CopiesMenuAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= matches_.size()) return {};
    const FoundMatch& match = matches_[static_cast<std::size_t>(row)];
    if (match.copies.empty()) return {"No other copy in the listings saved with hashes"};
    QStringList lines;
    for (const catalogue::BackgroundSearch::Copy& copy : match.copies) {
        lines.append(Shown(copy.drive + ": " + copy.path));
    }
    return lines;
}

void FindDialog::ShowCopiesMenu(const QPoint& at) {
    const int row = matchesView_->indexOfTopLevelItem(matchesView_->itemAt(at));
    const QStringList lines = CopiesMenuAt(row);
    if (lines.isEmpty()) return;
    QMenu menu(this);
    menu.setAccessibleName("Copies of the match");
    for (const QString& line : lines) menu.addAction(line)->setEnabled(false);
    menu.exec(matchesView_->viewport()->mapToGlobal(at));
}

void FindDialog::ShowCount() {
    QString text =
        finished_ ? QString("%1 found").arg(found_) : QString("%1 found so far").arg(found_);
    if (found_ > static_cast<std::uint64_t>(kMostShown))
        text += QString(", the first %1 shown").arg(kMostShown);
    countLabel_->setText(text);
    if (!problems_.empty()) noticeLabel_->setText(Shown(problems_.back()));
}

QString FindDialog::Notice() const {
    return noticeLabel_->text();
}

void FindDialog::OpenMatchAt(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= matches_.size()) return;
    const FoundMatch& match = matches_[static_cast<std::size_t>(row)];
    std::string why;
    const std::string folder = catalogue::FolderNow(FolderOf(match.path), *match.record, why);
    if (folder.empty()) {
        noticeLabel_->setText(Shown(why));
        return;
    }
    if (!hooks_.openFolder(folder)) {
        noticeLabel_->setText(Shown("The file manager could not be asked to open " + folder));
        return;
    }
    noticeLabel_->setText(Shown("Opened " + folder));
}

void FindDialog::keyPressEvent(QKeyEvent* event) {
    // Escape stops a search first, and closes the dialog when none runs.
    if (event->key() == Qt::Key_Escape && Searching()) {
        stopSearch();
        return;
    }
    // Enter was the pattern's or a match's (they act on it themselves): it closes nothing.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
}

void FindDialog::hideEvent(QHideEvent* event) {
    stopSearch();
    QDialog::hideEvent(event);
}

}  // namespace quorvale::window
