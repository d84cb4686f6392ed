// The folder tree of a kept listing as the browse window shows it: name, size (the blocks a folder
// and everything below it take), its share of its parent's, files below it and when it was
// modified. Rows are held only for folders opened, and of a large folder only a page: a folder's
// children are asked for (through `askChildren`) when the view first opens it, arrive later from
// the browse window's reader thread sorted as the view sorts (see RowBefore), kPageRows at a
// time, and are added a slice at a time; a folder of more has a last row that says how many
// more there are and asks for the next page when it is activated (ShowMore). A large folder's
// first rows may come first in listing order, marked provisional, to be replaced once the whole
// folder is sorted. Rows are let go of when their folder is closed again. Sorting sorts the rows
// held where the folder is held whole, and asks a paged folder's first page again. Belongs to
// the window's thread.
#pragma once

#include <QAbstractItemModel>
#include <QStyledItemDelegate>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "catalogue/listing_tree.h"

namespace quorvale::window {

// Whether `a` comes before `b` sorted by `column` in `order` (ties by name).
bool RowBefore(const catalogue::TreeRow& a, const catalogue::TreeRow& b, int column,
               Qt::SortOrder order);

class BrowseModel final : public QAbstractItemModel {
    Q_OBJECT

  public:
    enum Column { kName, kSize, kShare, kFiles, kModified, kColumns };
    static constexpr int kShareRole = Qt::UserRole + 1;  // the share of the parent, 0 to 1
    static constexpr int kRowsPerSlice = 2000;           // rows added at once, at first
    static constexpr std::uint64_t kPageRows = 20000;    // a large folder's rows held at once

    explicit BrowseModel(QObject* parent = nullptr);
    ~BrowseModel() override;

    // Asked for a folder's children from the `first` in the order shown, when the view opens it
    // or its last page was shown to its end.
    std::function<void(std::uint64_t folder, std::uint64_t first)> askChildren;
    int SortColumn() const { return sortColumn_; }
    Qt::SortOrder SortOrder() const { return sortOrder_; }

    // Shows the tree of a listing whose root is `root` (or nothing).
    void SetRoot(const catalogue::TreeRow& root);
    void Clear();
    // Children of `folder` as read: the page of them from the `first` in the order shown, of
    // `total` children, or (`provisional`) the first few in listing order. Added a slice at a
    // time, when the folder is still shown and waits for them. Returns whether they were taken.
    struct Page {
        std::vector<catalogue::TreeRow> rows;
        std::uint64_t first = 0;
        std::uint64_t total = 0;
        bool provisional = false;
    };
    bool TakeChildren(std::uint64_t folder, Page page);
    // The same for a folder the view has not opened yet (a match revealed below it).
    bool Provide(std::uint64_t folder, Page page);
    // Whether `index` is the row that stands for the rows not held yet; asks for them.
    bool IsMore(const QModelIndex& index) const;
    void ShowMore(const QModelIndex& index);
    // Whether some rows wait to be added.
    bool Adding() const { return !pending_.empty(); }
    // Adds the next slice of rows waiting; false when none waits.
    bool AddSlice();
    // Lets go of the rows below `index` (the folder was closed).
    void Forget(const QModelIndex& index);
    // The index of folder `folder`, or of entry `entry` among its children, where they are held.
    QModelIndex IndexOfFolder(std::uint64_t folder) const;
    QModelIndex IndexOfEntry(std::uint64_t folder, std::uint64_t entry) const;
    const catalogue::TreeRow* RowAt(const QModelIndex& index) const;
    bool Fetched(std::uint64_t folder) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    void sort(int column, Qt::SortOrder order) override;

  private:
    struct Node;
    struct Pending;
    Node* NodeOf(const QModelIndex& index) const;
    QModelIndex IndexOf(const Node* node) const;
    void Unmap(Node& node);
    void SortBelow(Node& node, std::vector<std::uint64_t>& paged);
    void DropChildren(Node& node);
    void EndPage(Node& node);

    std::unique_ptr<Node> root_;  // holds the listing's root as its one child
    std::unordered_map<std::uint64_t, Node*> folders_;
    std::vector<Pending> pending_;
    int sortColumn_ = kSize;
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
};

// Paints the share column as a bar under its figure.
class ShareBarDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

}  // namespace quorvale::window
