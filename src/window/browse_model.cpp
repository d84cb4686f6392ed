#include "window/browse_model.h"

#include <QApplication>
#include <QDateTime>
#include <QPainter>
#include <algorithm>

#include "runtime/human_size.h"

namespace quorvale::window {

struct BrowseModel::Node {
    catalogue::TreeRow row;
    Node* parent = nullptr;
    int index = 0;  // among its parent's children
    bool asked = false;
    bool more = false;         // the row that stands for the children not held yet
    bool provisional = false;  // its children are the first few in listing order
    std::uint64_t total = 0;   // its children, held or not
    std::vector<std::unique_ptr<Node>> children;
    // The children held, the row for the others left out.
    std::uint64_t Held() const {
        return children.size() - (!children.empty() && children.back()->more ? 1 : 0);
    }
};

struct BrowseModel::Pending {
    std::uint64_t folder = 0;
    std::vector<catalogue::TreeRow> rows;
    std::size_t next = 0;
};

namespace {

QString Shown(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// What a column sorts by, as a number (the name sorts by its bytes).
std::int64_t KeyOf(const catalogue::TreeRow& row, int column) {
    switch (column) {
        case BrowseModel::kFiles:
            return static_cast<std::int64_t>(row.files);
        case BrowseModel::kModified:
            return row.modified;
        default:
            return static_cast<std::int64_t>(row.blocks);
    }
}

}  // namespace

bool RowBefore(const catalogue::TreeRow& a, const catalogue::TreeRow& b, int column,
               Qt::SortOrder order) {
    if (column != BrowseModel::kName) {
        const std::int64_t x = KeyOf(a, column);
        const std::int64_t y = KeyOf(b, column);
        if (x != y) return order == Qt::AscendingOrder ? x < y : y < x;
        return a.name < b.name;
    }
    return order == Qt::AscendingOrder ? a.name < b.name : b.name < a.name;
}

BrowseModel::BrowseModel(QObject* parent)
    : QAbstractItemModel(parent), root_(std::make_unique<Node>()) {}

BrowseModel::~BrowseModel() = default;

void BrowseModel::Clear() {
    beginResetModel();
    root_ = std::make_unique<Node>();
    folders_.clear();
    pending_.clear();
    endResetModel();
}

void BrowseModel::SetRoot(const catalogue::TreeRow& root) {
    beginResetModel();
    root_ = std::make_unique<Node>();
    folders_.clear();
    pending_.clear();
    auto node = std::make_unique<Node>();
    node->row = root;
    node->parent = root_.get();
    folders_[root.number] = node.get();
    root_->children.push_back(std::move(node));
    root_->asked = true;
    endResetModel();
}

bool BrowseModel::TakeChildren(std::uint64_t folder, Page page) {
    const auto found = folders_.find(folder);
    if (found == folders_.end() || !found->second->asked ||
        std::any_of(pending_.begin(), pending_.end(),
                    [folder](const Pending& pending) { return pending.folder == folder; })) {
        return false;
    }
    Node& node = *found->second;
    const bool fresh = node.children.empty() && page.first == 0;
    const bool replaces = node.provisional && !page.provisional && page.first == 0;
    const bool follows =
        !node.provisional && !page.provisional && page.first != 0 && page.first == node.Held();
    if (!fresh && !replaces && !follows) return false;
    if (replaces) {
        DropChildren(node);  // the provisional rows give way to the sorted ones
    } else if (follows && node.Held() < node.children.size()) {
        const int last = static_cast<int>(node.children.size()) - 1;  // the row for the rest
        beginRemoveRows(IndexOf(&node), last, last);
        node.children.pop_back();
        endRemoveRows();
    }
    node.provisional = page.provisional;
    node.total = page.total;
    const auto before = [this](const catalogue::TreeRow& a, const catalogue::TreeRow& b) {
        return RowBefore(a, b, sortColumn_, sortOrder_);
    };
    if (!std::is_sorted(page.rows.begin(), page.rows.end(), before)) {
        std::stable_sort(page.rows.begin(), page.rows.end(), before);
    }
    pending_.push_back({folder, std::move(page.rows), 0});
    AddSlice();
    return true;
}

bool BrowseModel::Provide(std::uint64_t folder, Page page) {
    const auto found = folders_.find(folder);
    if (found == folders_.end() || found->second->asked) return false;
    found->second->asked = true;
    return TakeChildren(folder, std::move(page));
}

bool BrowseModel::IsMore(const QModelIndex& index) const {
    const Node* node = NodeOf(index);
    return node != root_.get() && node->more;
}

void BrowseModel::ShowMore(const QModelIndex& index) {
    const Node* node = NodeOf(index);
    if (node == root_.get() || !node->more || askChildren == nullptr) return;
    askChildren(node->parent->row.number, node->parent->Held());
}

// Once a page's rows were all added: the row for those not held yet, where there are some.
void BrowseModel::EndPage(Node& node) {
    if (node.provisional || node.Held() >= node.total) return;
    const int last = static_cast<int>(node.children.size());
    beginInsertRows(IndexOf(&node), last, last);
    auto more = std::make_unique<Node>();
    more->more = true;
    more->parent = &node;
    more->index = last;
    node.children.push_back(std::move(more));
    endInsertRows();
}

void BrowseModel::DropChildren(Node& node) {
    if (node.children.empty()) return;
    beginRemoveRows(IndexOf(&node), 0, static_cast<int>(node.children.size()) - 1);
    Unmap(node);
    node.children.clear();
    endRemoveRows();
}

void BrowseModel::SortBelow(Node& node, std::vector<std::uint64_t>& paged) {
    if (node.children.empty()) return;
    if (node.provisional || node.Held() < node.total) {
        paged.push_back(node.row.number);  // its first page by the new order is another
        return;
    }
    std::stable_sort(node.children.begin(), node.children.end(),
                     [this](const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
                         return RowBefore(a->row, b->row, sortColumn_, sortOrder_);
                     });
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        node.children[i]->index = static_cast<int>(i);
        SortBelow(*node.children[i], paged);
    }
}

void BrowseModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column;
    sortOrder_ = order;
    // The rows still to come join the rows held, all sorted at once.
    while (AddSlice()) {
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<std::uint64_t> paged;
    SortBelow(*root_, paged);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before) {
        const Node* node = NodeOf(index);
        after.push_back(createIndex(node->index, index.column(), const_cast<Node*>(node)));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    for (const std::uint64_t folder : paged) {
        Node& node = *folders_.at(folder);
        DropChildren(node);
        node.provisional = false;
        if (askChildren) askChildren(folder, 0);
    }
}

bool BrowseModel::AddSlice() {
    while (!pending_.empty()) {
        Pending& pending = pending_.front();
        const auto found = folders_.find(pending.folder);
        if (found == folders_.end() || pending.next >= pending.rows.size()) {
            pending_.erase(pending_.begin());
            continue;
        }
        Node* node = found->second;
        // A page holds few enough rows that slices of a fixed size add it in a few turns.
        const std::size_t count =
            std::min<std::size_t>(kRowsPerSlice, pending.rows.size() - pending.next);
        const int first = static_cast<int>(node->children.size());
        beginInsertRows(IndexOf(node), first, first + static_cast<int>(count) - 1);
        for (std::size_t i = 0; i < count; ++i) {
            auto child = std::make_unique<Node>();
            child->row = std::move(pending.rows[pending.next + i]);
            child->parent = node;
            child->index = first + static_cast<int>(i);
            if (child->row.folder) folders_[child->row.number] = child.get();
            node->children.push_back(std::move(child));
        }
        pending.next += count;
        endInsertRows();
        if (pending.next >= pending.rows.size()) {
            pending_.erase(pending_.begin());
            EndPage(*node);
        }
        return true;
    }
    return false;
}

void BrowseModel::Unmap(Node& node) {
    for (const std::unique_ptr<Node>& child : node.children) {
        if (child->row.folder) {
            folders_.erase(child->row.number);
            Unmap(*child);
        }
    }
}

void BrowseModel::Forget(const QModelIndex& index) {
    Node* node = NodeOf(index);
    if (node == nullptr || node == root_.get() || node->more) return;
    const std::uint64_t folder = node->row.number;
    DropChildren(*node);
    node->asked = false;
    node->provisional = false;
    std::erase_if(pending_, [this, folder](const Pending& pending) {
        return pending.folder == folder || !folders_.contains(pending.folder);
    });
}

QModelIndex BrowseModel::IndexOfFolder(std::uint64_t folder) const {
    const auto found = folders_.find(folder);
    return found == folders_.end() ? QModelIndex() : IndexOf(found->second);
}

QModelIndex BrowseModel::IndexOfEntry(std::uint64_t folder, std::uint64_t entry) const {
    const auto found = folders_.find(folder);
    if (found == folders_.end()) return {};
    for (const std::unique_ptr<Node>& child : found->second->children) {
        if (!child->more && !child->row.folder && child->row.number == entry) {
            return IndexOf(child.get());
        }
    }
    return {};
}

bool BrowseModel::Fetched(std::uint64_t folder) const {
    const auto found = folders_.find(folder);
    return found != folders_.end() && !found->second->children.empty();
}

const catalogue::TreeRow* BrowseModel::RowAt(const QModelIndex& index) const {
    const Node* node = NodeOf(index);
    return node == nullptr || node == root_.get() || node->more ? nullptr : &node->row;
}

BrowseModel::Node* BrowseModel::NodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

QModelIndex BrowseModel::IndexOf(const Node* node) const {
    if (node == root_.get()) return {};
    return createIndex(node->index, 0, const_cast<Node*>(node));
}

QModelIndex BrowseModel::index(int row, int column, const QModelIndex& parent) const {
    const Node* node = NodeOf(parent);
    if (row < 0 || column < 0 || column >= kColumns ||
        static_cast<std::size_t>(row) >= node->children.size()) {
        return {};
    }
    return createIndex(row, column, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex BrowseModel::parent(const QModelIndex& child) const {
    const Node* node = NodeOf(child);
    if (node == root_.get() || node->parent == nullptr) return {};
    return IndexOf(node->parent);
}

int BrowseModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return static_cast<int>(NodeOf(parent)->children.size());
}

int BrowseModel::columnCount(const QModelIndex& /*parent*/) const {
    return kColumns;
}

bool BrowseModel::hasChildren(const QModelIndex& parent) const {
    const Node* node = NodeOf(parent);
    if (node == root_.get()) return !node->children.empty();
    return node->row.folder && (node->row.files + node->row.folders > 0);
}

bool BrowseModel::canFetchMore(const QModelIndex& parent) const {
    const Node* node = NodeOf(parent);
    return node != root_.get() && node->row.folder && !node->asked &&
           node->row.files + node->row.folders > 0;
}

void BrowseModel::fetchMore(const QModelIndex& parent) {
    Node* node = NodeOf(parent);
    if (!canFetchMore(parent)) return;
    node->asked = true;
    if (askChildren) askChildren(node->row.number, 0);
}

QVariant BrowseModel::data(const QModelIndex& index, int role) const {
    const Node* node = NodeOf(index);
    if (node == root_.get()) return {};
    if (node->more) {
        if (index.column() != kName ||
            (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)) {
            return {};
        }
        return QString("%1 more: Enter shows the next %2")
            .arg(node->parent->total - node->parent->Held())
            .arg(std::min(kPageRows, node->parent->total - node->parent->Held()));
    }
    const catalogue::TreeRow& row = node->row;
    const std::uint64_t used = row.blocks * 512;
    const std::uint64_t parentUsed =
        node->parent != root_.get() ? node->parent->row.blocks * 512 : used;
    const double share = parentUsed == 0 ? 0.0 : static_cast<double>(used) / parentUsed;
    if (role == kShareRole) return share;
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
        switch (index.column()) {
            case kName:
                return Shown(row.name) + (row.folder && node->parent != root_.get() ? "/" : "");
            case kSize:
                return QString::fromStdString(runtime::DecimalSize(used));
            case kShare:
                return QString::number(share * 100.0, 'f', 1) + "%";
            case kFiles:
                return row.folder ? QString::number(row.files) : QString();
            case kModified:
                return QDateTime::fromSecsSinceEpoch(row.modified).toString("yyyy-MM-dd hh:mm");
            default:
                return {};
        }
    }
    if (role == Qt::TextAlignmentRole && index.column() != kName) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant BrowseModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kTitles[kColumns] = {"Name", "Size", "Share", "Files", "Modified"};
    return section >= 0 && section < kColumns ? QString(kTitles[section]) : QVariant();
}

void ShareBarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    QStyleOptionViewItem bar = option;
    initStyleOption(&bar, index);
    const double share = std::clamp(index.data(BrowseModel::kShareRole).toDouble(), 0.0, 1.0);
    QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &bar, painter, option.widget);
    const QRect area = option.rect.adjusted(2, 3, -2, -3);
    painter->save();
    painter->fillRect(
        QRect(area.left(), area.top(), static_cast<int>(area.width() * share), area.height()),
        option.palette.color(QPalette::Highlight).lighter(150));
    painter->setPen(option.palette.color(
        (option.state & QStyle::State_Selected) != 0 ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(area, Qt::AlignCenter, bar.text);
    painter->restore();
}

}  // namespace quorvale::window
