#include "picker/folder_picker.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QTreeView>
#include <QVBoxLayout>

namespace quorvale::picker {

namespace {

constexpr int kPathRole = Qt::UserRole;

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

}  // namespace

QString NormalisedFolderPath(const QString& typed) {
    QString path = typed.trimmed();
    if (path.isEmpty()) return path;
    if (path == "~" || path.startsWith("~/")) path = QDir::homePath() + path.mid(1);
    if (!path.startsWith('/')) path = QDir::homePath() + '/' + path;
    return QDir::cleanPath(path);
}

FolderPickerDialog::FolderPickerDialog(QWidget* owner, const QString& title)
    : QDialog(owner),
      location_(new QLineEdit(this)),
      places_(new QListWidget(this)),
      tree_(new QTreeView(this)),
      model_(new QFileSystemModel(this)),
      status_(new QLabel(this)) {
    setWindowTitle(title);
    setModal(true);
    resize(640, 440);

    auto* prompt = new QLabel(title, this);
    location_->setPlaceholderText("Type or paste a folder's path and press Enter");

    const auto addPlace = [this](const QString& label, const QString& path) {
        auto* item = new QListWidgetItem(label, places_);
        item->setData(kPathRole, path);
        item->setToolTip(path);
    };
    addPlace("Home", QDir::homePath());
    addPlace("/", "/");
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (IsUserDrive(volume) && !volume.isRoot()) {
            const QString name = volume.name().isEmpty() ? volume.rootPath() : volume.name();
            addPlace(name, volume.rootPath());
        }
    }
    places_->setMaximumWidth(160);

    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model_->setRootPath("/");
    tree_->setModel(model_);
    tree_->setRootIndex(model_->index("/"));
    for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
    tree_->header()->hide();
    tree_->setRootIsDecorated(true);

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
    layout->addWidget(buttons);

    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid()) Highlight(model_->filePath(current));
            });
    connect(places_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const QString path = item->data(kPathRole).toString();
        const QModelIndex index = model_->index(path);
        tree_->setCurrentIndex(index);
        tree_->scrollTo(index);
        Highlight(path);
    });
    connect(location_, &QLineEdit::returnPressed, this, &FolderPickerDialog::AcceptLocation);
    connect(buttons, &QDialogButtonBox::accepted, this, &FolderPickerDialog::AcceptLocation);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    location_->setFocus();
}

void FolderPickerDialog::Highlight(const QString& path) {
    status_->setText(path);
    location_->setText(path);
}

void FolderPickerDialog::AcceptLocation() {
    const QString path = NormalisedFolderPath(location_->text());
    if (path.isEmpty()) {
        status_->setText("Choose a folder in the tree, or type its path above.");
        return;
    }
    if (!QFileInfo(path).isDir()) {
        status_->setText("There is no folder \"" + path + "\".");
        return;
    }
    chosen_ = path;
    accept();
}

std::string BrowseForFolder(QWidget* owner, const QString& title) {
    FolderPickerDialog dialog(owner, title);
    if (dialog.exec() != QDialog::Accepted) return {};
    return QFile::encodeName(dialog.ChosenPath()).toStdString();
}

}  // namespace quorvale::picker
