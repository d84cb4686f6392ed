#include "picker/folder_picker.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStorageInfo>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "runtime/file_system_facts.h"
#include "runtime/path_join.h"

namespace quorvale::picker {

namespace {

constexpr int kPathRole = Qt::UserRole;        // a folder's full path, as bytes
constexpr int kNameRole = Qt::UserRole + 1;    // its name under its parent, as bytes
constexpr int kFilledRole = Qt::UserRole + 2;  // its subfolders have been read
// The places list's width: its frame and scroll bar beside the text, and its bounds.
constexpr int kPlacesFrame = 40;
constexpr int kNarrowestPlaces = 120;
constexpr int kWidestPlaces = 340;

// Mounted drives worth offering: real file systems, not the kernel's own.
bool IsUserDrive(const QStorageInfo& volume) {
    if (!volume.isValid() || !volume.isReady()) return false;
    const QByteArray type = volume.fileSystemType();
    static const QByteArray kSystemTypes[] = {
        "proc",    "sysfs",  "devtmpfs", "devpts",   "cgroup", "cgroup2",    "securityfs",
        "pstore",  "bpf",    "tracefs",  "debugfs",  "mqueue", "hugetlbfs",  "configfs",
        "fusectl", "autofs", "overlay",  "squashfs", "nsfs",   "binfmt_misc"};
    for (const auto& system : kSystemTypes) {
        if (type == system) return false;
    }
    const QString root = volume.rootPath();
    return !root.startsWith("/proc") && !root.startsWith("/sys") && !root.startsWith("/run") &&
           !root.startsWith("/dev");
}

bool IsFolder(const QByteArray& path) {
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QByteArray JoinPath(const QByteArray& parent, const QByteArray& name) {
    const std::string joined =
        runtime::JoinPath(std::string_view(parent.constData(), parent.size()),
                          std::string_view(name.constData(), name.size()));
    return QByteArray(joined.data(), static_cast<qsizetype>(joined.size()));
}

// The names of the folders (links to folders included) directly in `path`, sorted by their bytes.
std::vector<QByteArray> SubfolderNames(const QByteArray& path) {
    std::vector<QByteArray> names;
    DIR* dir = ::opendir(path.constData());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..") continue;
        const bool folder =
            entry->d_type == DT_DIR || ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
                                        IsFolder(JoinPath(path, name)));
        if (folder) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// A tree item for the folder `path`, with a placeholder child so that it shows it can be opened.
QStandardItem* MakeFolderItem(const QByteArray& path, const QByteArray& name) {
    auto* item = new QStandardItem(name == "/" ? QString("/") : DisplayPath(name));
    item->setEditable(false);
    item->setData(path, kPathRole);
    item->setData(name, kNameRole);
    item->setData(false, kFilledRole);
    auto* placeholder = new QStandardItem();
    placeholder->setEditable(false);
    placeholder->setSelectable(false);
    item->appendRow(placeholder);
    return item;
}

}  // namespace

QString DisplayPath(const QByteArray& path) {
    return QString::fromUtf8(path);
}

QByteArray TypedFolderPath(const QString& typed) {
    QString text = typed;
    while (text.endsWith('\n') || text.endsWith('\r')) text.chop(1);
    if (text.isEmpty()) return {};
    if (text == "~" || text.startsWith("~/")) text = QDir::homePath() + text.mid(1);
    QByteArray path = QFile::encodeName(text);
    if (!path.startsWith('/')) path = JoinPath(QFile::encodeName(QDir::homePath()), path);
    QByteArray cleaned;
    cleaned.reserve(path.size());
    for (const char c : path) {
        if (c == '/' && cleaned.endsWith('/')) continue;
        cleaned += c;
    }
    if (cleaned.size() > 1 && cleaned.endsWith('/')) cleaned.chop(1);
    return cleaned;
}

FolderPickerDialog::FolderPickerDialog(QWidget* owner, const QString& title)
    : QDialog(owner),
      location_(new QLineEdit(this)),
      places_(new QListWidget(this)),
      tree_(new QTreeView(this)),
      model_(new QStandardItemModel(this)),
      status_(new QLabel(this)),
      stayOnDrive_(new QCheckBox("Stay on this drive", this)) {
    setWindowTitle(title);
    setModal(true);
    resize(640, 440);

    auto* prompt = new QLabel(title, this);
    location_->setPlaceholderText("Type or paste a folder's path and press Enter");
    location_->setAccessibleName("Folder location");
    places_->setAccessibleName("Places");
    tree_->setAccessibleName("Folders");
    status_->setAccessibleName("Highlighted folder");
    stayOnDrive_->setAccessibleName("Stay on this drive");
    stayOnDrive_->setToolTip("List folders on other drives by name only, without entering them");

    const auto addPlace = [this](const QString& label, const QString& path) {
        auto* item = new QListWidgetItem(label, places_);
        item->setData(kPathRole, QFile::encodeName(path));
        item->setToolTip(path);
    };
    addPlace("Home", QDir::homePath());
    addPlace("/", "/");
    // Each drive by its label or its disk's model and its size; where it is mounted in the tip.
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (IsUserDrive(volume) && !volume.isRoot()) {
            const std::string driveTitle = runtime::DriveTitle(
                volume.name().toStdString(), runtime::DriveModel(volume.device().toStdString()),
                static_cast<std::uint64_t>(std::max<qint64>(volume.bytesTotal(), 0)),
                QFile::encodeName(volume.rootPath()).toStdString());
            addPlace(QString::fromStdString(driveTitle), volume.rootPath());
        }
    }
    // Wide enough for the longest drive's name (up to a third of a small screen); a longer one
    // loses its middle, never its size at the end.
    places_->setTextElideMode(Qt::ElideMiddle);
    int widest = 0;
    for (int row = 0; row < places_->count(); ++row) {
        widest =
            std::max(widest, places_->fontMetrics().horizontalAdvance(places_->item(row)->text()));
    }
    places_->setFixedWidth(std::clamp(widest + kPlacesFrame, kNarrowestPlaces, kWidestPlaces));

    model_->appendRow(MakeFolderItem("/", "/"));
    tree_->setModel(model_);
    tree_->header()->hide();
    tree_->setRootIsDecorated(true);
    tree_->setUniformRowHeights(true);
    FillChildren(model_->item(0));
    tree_->expand(model_->index(0, 0));

    status_->setTextFormat(Qt::PlainText);
    status_->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    // Enter in the location field belongs to the field, not to the OK button.
    buttons->button(QDialogButtonBox::Ok)->setAutoDefault(false);
    buttons->button(QDialogButtonBox::Cancel)->setAutoDefault(false);

    auto* middle = new QHBoxLayout;
    middle->addWidget(places_);
    middle->addWidget(tree_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(location_);
    layout->addLayout(middle, 1);
    layout->addWidget(status_);
    layout->addWidget(stayOnDrive_);
    layout->addWidget(buttons);

    connect(tree_, &QTreeView::expanded, this,
            [this](const QModelIndex& index) { FillChildren(model_->itemFromIndex(index)); });
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                const QByteArray path = current.data(kPathRole).toByteArray();
                if (!path.isEmpty()) Highlight(path);
            });
    // A place is highlighted when it becomes the current one, by click or by Up and Down; Enter
    // (or a double click) on it chooses it.
    const auto highlightPlace = [this](QListWidgetItem* item) {
        if (item == nullptr) return;
        const QByteArray path = item->data(kPathRole).toByteArray();
        if (!HighlightPath(path)) Highlight(path);
    };
    connect(places_, &QListWidget::itemClicked, this, highlightPlace);
    connect(places_, &QListWidget::currentItemChanged, this, highlightPlace);
    connect(places_, &QListWidget::itemActivated, this,
            [this, highlightPlace](QListWidgetItem* item) {
                highlightPlace(item);
                acceptLocation();
            });
    connect(location_, &QLineEdit::returnPressed, this, &FolderPickerDialog::acceptLocation);
    connect(buttons, &QDialogButtonBox::accepted, this, &FolderPickerDialog::acceptLocation);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    location_->setFocus();
}

// Reads the subfolders of the folder `item` stands for, the first time it is opened.
void FolderPickerDialog::FillChildren(QStandardItem* item) {
    if (item == nullptr || item->data(kFilledRole).toBool()) return;
    item->setData(true, kFilledRole);
    item->removeRows(0, item->rowCount());
    const QByteArray path = item->data(kPathRole).toByteArray();
    QList<QStandardItem*> children;
    for (const QByteArray& name : SubfolderNames(path)) {
        children.append(MakeFolderItem(JoinPath(path, name), name));
    }
    if (!children.isEmpty()) item->appendRows(children);
}

QStandardItem* FolderPickerDialog::Child(QStandardItem* item, const QByteArray& name) {
    FillChildren(item);
    for (int row = 0; row < item->rowCount(); ++row) {
        if (item->child(row)->data(kNameRole).toByteArray() == name) return item->child(row);
    }
    return nullptr;
}

bool FolderPickerDialog::HighlightPath(const QByteArray& path) {
    if (!path.startsWith('/')) return false;
    QStandardItem* item = model_->item(0);
    for (const QByteArray& name : path.split('/')) {
        if (name.isEmpty()) continue;
        tree_->expand(item->index());
        item = Child(item, name);
        if (item == nullptr) return false;
    }
    tree_->setCurrentIndex(item->index());
    tree_->scrollTo(item->index());
    Highlight(path);
    return true;
}

void FolderPickerDialog::Highlight(const QByteArray& path) {
    highlighted_ = path;
    highlightedText_ = DisplayPath(path);
    status_->setText(highlightedText_);
    location_->setText(highlightedText_);
}

void FolderPickerDialog::acceptLocation() {
    const QString text = location_->text();
    // The highlighted folder is taken by its bytes, which its shown text may not carry.
    const QByteArray path =
        !highlighted_.isEmpty() && text == highlightedText_ ? highlighted_ : TypedFolderPath(text);
    if (path.isEmpty()) {
        status_->setText("Choose a folder in the tree, or type its path above.");
        return;
    }
    if (!IsFolder(path)) {
        status_->setText("There is no folder \"" + DisplayPath(path) + "\".");
        return;
    }
    chosen_ = path;
    accept();
}

FolderChoice BrowseForFolder(QWidget* owner, const QString& title) {
    FolderPickerDialog dialog(owner, title);
    if (dialog.exec() != QDialog::Accepted) return {};
    return {dialog.ChosenPath().toStdString(), dialog.StayOnDrive()->isChecked()};
}

}  // namespace quorvale::picker
