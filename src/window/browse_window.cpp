#include "window/browse_window.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QShortcut>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "catalogue/drive_catalogue.h"
#include "catalogue/drive_now.h"
#include "catalogue/entry_matcher.h"
#include "runtime/human_size.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"
#include "window/browse_model.h"

namespace quorvale::window {

// The reader thread's own: the listing open, and which one it is.
class BrowseReader final : public QObject {
  public:
    std::unique_ptr<catalogue::ListingTree> tree;
    std::uint64_t generation = 0;
};

// What revealing a match needs: the folders from the root down to it with their children, and
// which row it is.
struct RevealPlan {
    std::vector<std::uint64_t> chain;
    std::vector<BrowseModel::Page> children;  // of each folder of the chain, down to the next
    bool folder = false;
    std::uint64_t number = 0;  // the folder's, or the file's entry
    std::string why;           // when it cannot be revealed
};

namespace {

QString Shown(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string BytesOf(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The children of a folder as the view sorts them: the first rows added are the first shown.
std::vector<catalogue::TreeRow> SortedChildren(const catalogue::ListingTree& tree,
                                               std::uint64_t folder, int column,
                                               Qt::SortOrder order) {
    std::vector<catalogue::TreeRow> rows = tree.Children(folder);
    std::stable_sort(rows.begin(), rows.end(),
                     [column, order](const catalogue::TreeRow& a, const catalogue::TreeRow& b) {
                         return RowBefore(a, b, column, order);
                     });
    return rows;
}

// The rows of the page from `first`: kPageRows of them, or up to `through` when it lies further.
void TakePage(std::vector<catalogue::TreeRow>& rows, std::uint64_t first,
              std::uint64_t through = 0) {
    const std::uint64_t end =
        std::min<std::uint64_t>(rows.size(), std::max(first + BrowseModel::kPageRows, through + 1));
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(end), rows.end());
    rows.erase(rows.begin(),
               rows.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(first, end)));
}

// What revealing `path` (a match as the listing writes it: a folder's ending in "/") takes: each
// folder above it with its children, sorted as shown, down to the page that holds the next.
RevealPlan PlanOfReveal(const catalogue::ListingTree& tree, const std::string& path, int column,
                        Qt::SortOrder order) {
    RevealPlan plan;
    plan.folder = path.ends_with('/');
    const std::size_t cut = path.rfind('/');
    const std::string folderPath = plan.folder ? path.substr(0, path.size() - 1)
                                   : cut == 0  ? std::string("/")
                                               : path.substr(0, cut);
    const std::optional<std::uint64_t> folder = tree.FolderAt(folderPath);
    if (!folder) {
        throw runtime::RuntimeError(runtime::PathNotFound,
                                    "The listing holds no folder " + folderPath);
    }
    plan.chain = tree.ChainTo(*folder);
    if (plan.folder) {
        plan.number = *folder;
        plan.chain.pop_back();  // its own children are not needed
    }
    const std::string name(runtime::LastPathPart(path));
    for (std::size_t i = 0; i < plan.chain.size(); ++i) {
        BrowseModel::Page page;
        page.rows = SortedChildren(tree, plan.chain[i], column, order);
        page.total = page.rows.size();
        const bool last = i + 1 == plan.chain.size();
        const bool file = last && !plan.folder;
        const std::uint64_t next = last ? plan.number : plan.chain[i + 1];
        const auto at =
            std::find_if(page.rows.begin(), page.rows.end(), [&](const catalogue::TreeRow& row) {
                return file ? !row.folder && row.name == name : row.folder && row.number == next;
            });
        if (at == page.rows.end()) {
            throw runtime::RuntimeError(runtime::PathNotFound, "The listing holds no " + path);
        }
        if (file) plan.number = at->number;
        TakePage(page.rows, 0, static_cast<std::uint64_t>(at - page.rows.begin()));
        plan.children.push_back(std::move(page));
    }
    return plan;
}

}  // namespace

BrowseWindow::BrowseWindow(std::vector<std::string> folders, FindDialogHooks hooks, QWidget* parent,
                           bool threaded)
    : QDialog(parent), folders_(std::move(folders)), hooks_(std::move(hooks)) {
    setWindowTitle("Browse kept listings");
    setAccessibleName("Browse kept listings");
    drivesList_ = new QListWidget(this);
    drivesList_->setAccessibleName("Drives listed");
    olderCheck_ = new QCheckBox("&Older listings", this);
    olderCheck_->setAccessibleName("Show older listings");
    model_ = new BrowseModel(this);
    tree_ = new QTreeView(this);
    tree_->setAccessibleName("Folders of the listing");
    tree_->setModel(model_);
    tree_->setUniformRowHeights(true);
    tree_->setSortingEnabled(true);
    tree_->sortByColumn(BrowseModel::kSize, Qt::DescendingOrder);
    tree_->setItemDelegateForColumn(BrowseModel::kShare, new ShareBarDelegate(tree_));
    tree_->header()->setStretchLastSection(false);
    tree_->header()->setSectionResizeMode(BrowseModel::kName, QHeaderView::Stretch);
    for (const int column : {BrowseModel::kSize, BrowseModel::kFiles, BrowseModel::kModified}) {
        tree_->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
    tree_->header()->setSectionResizeMode(BrowseModel::kShare, QHeaderView::Fixed);
    tree_->header()->resizeSection(BrowseModel::kShare, 120);
    tree_->setTextElideMode(Qt::ElideMiddle);
    findEdit_ = new QLineEdit(this);
    findEdit_->setAccessibleName("Find in this listing");
    findEdit_->setPlaceholderText("Find: part of a path, or a pattern such as *.iso");
    matchesList_ = new QListWidget(this);
    matchesList_->setAccessibleName("Matches in this listing");
    statusLabel_ = new QLabel(this);
    statusLabel_->setAccessibleName("Status");
    statusLabel_->setWordWrap(true);
    sliceTimer_ = new QTimer(this);
    sliceTimer_->setInterval(0);

    auto* left = new QWidget(this);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(drivesList_, 1);
    leftLayout->addWidget(olderCheck_);
    auto* splitter = new QSplitter(this);
    splitter->addWidget(left);
    splitter->addWidget(tree_);
    splitter->setStretchFactor(1, 3);
    splitter->setAccessibleName("Drives and folders");
    for (int i = 0; i < splitter->count(); ++i) {
        splitter->handle(i)->setAccessibleName("Width of the drives list");
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addWidget(findEdit_);
    layout->addWidget(matchesList_);
    layout->addWidget(statusLabel_);
    findEdit_->hide();
    matchesList_->hide();
    resize(900, 560);
    setTabOrder(drivesList_, olderCheck_);
    setTabOrder(olderCheck_, tree_);
    setTabOrder(tree_, findEdit_);
    setTabOrder(findEdit_, matchesList_);

    model_->askChildren = [this](std::uint64_t folder, std::uint64_t first) {
        AskChildren(folder, first);
    };
    connect(sliceTimer_, &QTimer::timeout, this, [this] {
        if (!model_->AddSlice()) sliceTimer_->stop();
    });
    connect(drivesList_, &QListWidget::currentRowChanged, this, &BrowseWindow::OpenListing);
    connect(olderCheck_, &QCheckBox::toggled, this, &BrowseWindow::refresh);
    connect(tree_, &QTreeView::collapsed, this,
            [this](const QModelIndex& index) { model_->Forget(index); });
    connect(tree_, &QTreeView::activated, this, [this](const QModelIndex& index) {
        if (model_->IsMore(index)) return model_->ShowMore(index);
        OpenInFileManager(index);
    });
    connect(findEdit_, &QLineEdit::returnPressed, this, &BrowseWindow::Find);
    connect(matchesList_, &QListWidget::activated, this,
            [this](const QModelIndex& index) { Reveal(index.row()); });
    auto* findKey = new QShortcut(QKeySequence::Find, this);
    connect(findKey, &QShortcut::activated, this, &BrowseWindow::showFind);

    reader_ = new BrowseReader;
    if (threaded) {
        reader_->moveToThread(&thread_);
        thread_.start();
    }
    // Without a thread to be had, the window's own thread reads, as the reader thread would.
    threaded_ = thread_.isRunning();
    if (!threaded_) reader_->moveToThread(this->thread());
    refresh();
    drivesList_->setFocus();
}

BrowseWindow::~BrowseWindow() {
    thread_.quit();
    thread_.wait();
    delete reader_;
}

void BrowseWindow::Post(std::function<void(BrowseReader&)> request) {
    ++awaited_;
    if (!threaded_) return request(*reader_);  // its answer is taken as the thread's would be
    QMetaObject::invokeMethod(
        reader_, [reader = reader_, request = std::move(request)] { request(*reader); },
        Qt::QueuedConnection);
}

QString BrowseWindow::Status() const {
    return statusLabel_->text();
}

bool BrowseWindow::Busy() const {
    return awaited_ > 0 || model_->Adding();
}

const catalogue::TreeRow* BrowseWindow::CurrentRow() const {
    return model_->RowAt(tree_->currentIndex());
}

void BrowseWindow::SetStatus(const std::string& text) {
    statusLabel_->setText(Shown(text));
}

void BrowseWindow::refresh() {
    SetStatus("Looking for kept listings...");
    const bool all = olderCheck_->isChecked();
    Post([this, folders = folders_, all](BrowseReader&) {
        std::vector<catalogue::ListingToSearch> listings;
        try {
            listings = catalogue::ListingsToSearch(
                folders, all, [](const std::string&) {}, {}, true);
        } catch (const runtime::RuntimeError&) {
            // No listing to be had: said as for none.
        }
        QMetaObject::invokeMethod(
            this,
            [this, listings = std::move(listings)]() mutable {
                --awaited_;
                ShowListings(std::move(listings));
            },
            Qt::QueuedConnection);
    });
}

void BrowseWindow::ShowListings(std::vector<catalogue::ListingToSearch> listings) {
    listings_ = std::move(listings);
    const QSignalBlocker quiet(drivesList_);
    drivesList_->clear();
    for (const catalogue::ListingToSearch& listing : listings_) {
        const catalogue::ListingRecord& record = listing.record;
        std::string name = catalogue::DriveNameOf(record);
        if (record.fileSystem.capacity != 0) {
            name += " (" + runtime::DecimalSize(record.fileSystem.capacity) + ")";
        }
        if (olderCheck_->isChecked()) name += ", listed " + record.ended;
        auto* item = new QListWidgetItem(Shown(name), drivesList_);
        item->setToolTip(Shown(record.root + " in " + listing.folder));
    }
    SetStatus(listings_.empty() ? "No kept listing was found: save one first."
                                : std::to_string(listings_.size()) + " listings kept.");
    if (!listings_.empty()) {
        drivesList_->setCurrentRow(0);
        OpenListing(0);
    }
}

void BrowseWindow::OpenListing(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= listings_.size()) return;
    const std::string folder = listings_[static_cast<std::size_t>(row)].folder;
    const std::uint64_t generation = ++generation_;
    model_->Clear();
    matchesList_->clear();
    SetStatus("Reading " + folder + "...");
    Post([this, folder, generation](BrowseReader& reader) {
        catalogue::TreeRow root;
        std::string why;
        reader.tree.reset();
        reader.generation = generation;
        try {
            reader.tree = std::make_unique<catalogue::ListingTree>(folder, "browse");
            root = reader.tree->Root();
        } catch (const runtime::RuntimeError& error) {
            reader.tree.reset();
            why = error.what();
        }
        QMetaObject::invokeMethod(
            this, [this, generation, root, why] { Opened(generation, root, why); },
            Qt::QueuedConnection);
    });
}

void BrowseWindow::Opened(std::uint64_t generation, const catalogue::TreeRow& root,
                          const std::string& why) {
    --awaited_;
    if (generation != generation_) return;
    if (!why.empty()) {
        SetStatus(why);
        return;
    }
    model_->SetRoot(root);
    const QModelIndex shown = model_->IndexOfFolder(root.number);
    tree_->setCurrentIndex(shown);
    tree_->expand(shown);
    SetStatus(root.name + ": " + runtime::DecimalSize(root.blocks * 512) + " in " +
              std::to_string(root.files) + " files and " + std::to_string(root.folders) +
              " folders.");
}

// A folder's children from the `first` as shown: of a large folder first its first few rows in
// listing order (read at once), then the page sorted once the whole folder is.
void BrowseWindow::AskChildren(std::uint64_t folder, std::uint64_t first) {
    const std::uint64_t generation = generation_;
    const int column = model_->SortColumn();
    const Qt::SortOrder order = model_->SortOrder();
    Post([this, folder, first, generation, column, order](BrowseReader& reader) {
        const auto hand = [this, generation, folder](BrowseModel::Page page, const std::string& why,
                                                     bool last) {
            QMetaObject::invokeMethod(
                this,
                [this, generation, folder, page = std::move(page), why, last]() mutable {
                    Children(generation, folder, std::move(page), why, last);
                },
                Qt::QueuedConnection);
        };
        try {
            if (!reader.tree || reader.generation != generation) return hand({}, "", true);
            if (first == 0 && reader.tree->ChildCount(folder) > BrowseModel::kPageRows) {
                BrowseModel::Page quick;
                quick.rows = reader.tree->Children(folder, BrowseModel::kRowsPerSlice);
                quick.provisional = true;
                hand(std::move(quick), "", false);
            }
            BrowseModel::Page page;
            page.rows = SortedChildren(*reader.tree, folder, column, order);
            page.total = page.rows.size();
            page.first = first;
            TakePage(page.rows, first);
            hand(std::move(page), "", true);
        } catch (const runtime::RuntimeError& error) {
            hand({}, error.what(), true);
        }
    });
}

void BrowseWindow::Children(std::uint64_t generation, std::uint64_t folder, BrowseModel::Page page,
                            const std::string& why, bool last) {
    if (last) --awaited_;
    if (generation != generation_) return;
    if (!why.empty()) {
        SetStatus(why);
        return;
    }
    if (model_->TakeChildren(folder, std::move(page)) && model_->Adding()) sliceTimer_->start();
}

void BrowseWindow::showFind() {
    findEdit_->show();
    matchesList_->show();
    findEdit_->setFocus();
    findEdit_->selectAll();
}

void BrowseWindow::Find() {
    const std::string pattern = BytesOf(findEdit_->text());
    if (pattern.empty() || listings_.empty()) return;
    const std::uint64_t generation = generation_;
    SetStatus("Finding " + pattern + "...");
    Post([this, pattern, generation](BrowseReader& reader) {
        std::vector<std::string> paths;
        std::string why;
        try {
            if (!reader.tree || reader.generation != generation)
                throw runtime::RuntimeError(runtime::InvalidProcedureCall, "No listing is open.");
            const catalogue::EntryMatcher matcher(catalogue::FindQuery{pattern, false, true});
            catalogue::SearchListing(
                reader.tree->Folder(), matcher, {}, [&paths] { paths.clear(); },
                [&paths](const catalogue::FoundEntry& found) {
                    paths.emplace_back(found.path);
                    return paths.size() < kMostMatches;
                },
                {}, {});
        } catch (const runtime::RuntimeError& error) {
            why = error.what();
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, paths = std::move(paths), why]() mutable {
                Found(generation, std::move(paths), why);
            },
            Qt::QueuedConnection);
    });
}

void BrowseWindow::Found(std::uint64_t generation, std::vector<std::string> paths,
                         const std::string& why) {
    --awaited_;
    if (generation != generation_) return;
    matchesList_->clear();
    for (const std::string& path : paths) matchesList_->addItem(Shown(path));
    if (!why.empty()) return SetStatus(why);
    SetStatus(paths.empty() ? std::string("Nothing matches.")
                            : std::to_string(paths.size()) +
                                  (paths.size() >= kMostMatches ? "+ matches" : " matches") +
                                  ": Enter shows one in the tree.");
    if (!paths.empty()) matchesList_->setCurrentRow(0);
}

void BrowseWindow::Reveal(int match) {
    if (match < 0 || match >= matchesList_->count()) return;
    const std::string path = BytesOf(matchesList_->item(match)->text());
    const std::uint64_t generation = generation_;
    const int column = model_->SortColumn();
    const Qt::SortOrder order = model_->SortOrder();
    Post([this, path, generation, column, order](BrowseReader& reader) {
        RevealPlan plan;
        try {
            if (!reader.tree || reader.generation != generation) {
                throw runtime::RuntimeError(runtime::InvalidProcedureCall, "No listing is open.");
            }
            plan = PlanOfReveal(*reader.tree, path, column, order);
        } catch (const runtime::RuntimeError& error) {
            plan.why = error.what();
        }
        QMetaObject::invokeMethod(
            this, [this, generation, plan = std::move(plan)] { ShowRevealed(generation, plan); },
            Qt::QueuedConnection);
    });
}

void BrowseWindow::ShowRevealed(std::uint64_t generation, const RevealPlan& plan) {
    --awaited_;
    if (generation != generation_) return;
    if (!plan.why.empty()) return SetStatus(plan.why);
    for (std::size_t i = 0; i < plan.chain.size(); ++i) {
        model_->Provide(plan.chain[i], plan.children[i]);
    }
    // The rows below the chain are all added at once: the match must be there to be shown.
    while (model_->AddSlice()) {
    }
    for (const std::uint64_t folder : plan.chain) {
        tree_->expand(model_->IndexOfFolder(folder));
    }
    const QModelIndex target = plan.folder ? model_->IndexOfFolder(plan.number)
                                           : model_->IndexOfEntry(plan.chain.back(), plan.number);
    const QModelIndex shown = target;
    tree_->setCurrentIndex(shown);
    tree_->scrollTo(shown);
    tree_->setFocus();
}

void BrowseWindow::OpenInFileManager(const QModelIndex& index) {
    const QModelIndex source = index;
    const catalogue::TreeRow* row = model_->RowAt(source);
    if (row == nullptr) return;
    const catalogue::TreeRow* folderRow = row->folder ? row : model_->RowAt(source.parent());
    if (folderRow == nullptr) return;
    const std::uint64_t folder = folderRow->number;
    const std::uint64_t generation = generation_;
    Post([this, folder, generation](BrowseReader& reader) {
        std::string now;
        std::string why;
        try {
            if (reader.tree && reader.generation == generation) {
                now = catalogue::FolderNow(reader.tree->PathOf(folder), reader.tree->Record(), why);
            }
        } catch (const runtime::RuntimeError& error) {
            why = error.what();
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, now, why] {
                --awaited_;
                if (generation != generation_) return;
                if (now.empty()) return SetStatus(why);
                SetStatus(hooks_.openFolder(now)
                              ? "Opened " + now
                              : "The file manager could not be asked to open " + now);
            },
            Qt::QueuedConnection);
    });
}

void BrowseWindow::keyPressEvent(QKeyEvent* event) {
    // Enter in the tree opens, in the list of drives opens the listing: never the dialog's
    // default.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
}

}  // namespace quorvale::window
