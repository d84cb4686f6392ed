// The on-screen side of the listing buffer: a list model that catches up with the buffer when
// asked (at most about once a frame, never once per line), and a delegate that draws each line
// with the list's tab stops, so folder paths start at the first stop and file names at the second.
#pragma once

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <cstdint>

#include "listing/listing_buffer.h"

namespace quorvale::window {

class ListingModel final : public QAbstractListModel {
  public:
    explicit ListingModel(const listing::ListingBuffer& buffer, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // Brings the rows shown up to date with the buffer: appended lines become new rows, an emptied
    // buffer empties the list. Returns whether anything changed.
    bool CatchUp();

    // The row of the longest line shown (in bytes), or -1: the list is as wide as that line.
    int LongestRow() const { return longestRow_; }

  private:
    void NoteLongest(int count);

    const listing::ListingBuffer& buffer_;
    int shown_ = 0;
    std::uint64_t generation_ = 0;
    int longestRow_ = -1;
    std::size_t longestBytes_ = 0;
};

// Draws a line's text with tab stops at given positions in pixels.
class TabStopDelegate final : public QStyledItemDelegate {
  public:
    explicit TabStopDelegate(QObject* parent = nullptr) : QStyledItemDelegate(parent) {}

    // Sets the stops in dialog units: a quarter of the font's average character width each.
    void SetTabStops(const QFont& font, int firstUnits, int secondUnits);
    const QList<qreal>& TabStops() const { return stops_; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    int TextWidth(const QFont& font, const QString& text) const;

    QList<qreal> stops_;
};

}  // namespace quorvale::window
