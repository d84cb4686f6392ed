#include "window/listing_view.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextOption>

namespace quorvale::window {

ListingModel::ListingModel(const listing::ListingBuffer& buffer, QObject* parent)
    : QAbstractListModel(parent), buffer_(buffer), generation_(buffer.Generation()) {}

int ListingModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

QVariant ListingModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    // The buffer may have been emptied since the last catch-up.
    if (index.row() >= buffer_.ListCount() || buffer_.Generation() != generation_) return {};
    // Bytes that are not UTF-8 show as replacement characters; the buffer keeps them.
    const std::string_view line = buffer_.Line(static_cast<std::size_t>(index.row()));
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}

// Notes the longest of the lines from shown_ to `count`: a length per line, no measuring.
void ListingModel::NoteLongest(int count) {
    for (int row = shown_; row < count; ++row) {
        const std::size_t bytes = buffer_.Line(static_cast<std::size_t>(row)).size();
        if (bytes > longestBytes_ || longestRow_ < 0) {
            longestBytes_ = bytes;
            longestRow_ = row;
        }
    }
}

bool ListingModel::CatchUp() {
    const int count = buffer_.ListCount();
    if (buffer_.Generation() != generation_ || count < shown_) {
        beginResetModel();
        generation_ = buffer_.Generation();
        shown_ = 0;
        longestRow_ = -1;
        longestBytes_ = 0;
        NoteLongest(count);
        shown_ = count;
        endResetModel();
        return true;
    }
    if (count > shown_) {
        beginInsertRows({}, shown_, count - 1);
        NoteLongest(count);
        shown_ = count;
        endInsertRows();
        return true;
    }
    return false;
}

void TabStopDelegate::SetTabStops(const QFont& font, int firstUnits, int secondUnits) {
    const qreal unit = QFontMetricsF(font).averageCharWidth() / 4.0;
    stops_ = {firstUnits * unit, secondUnits * unit};
}

void TabStopDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    QTextOption textOption(Qt::AlignLeft | Qt::AlignVCenter);
    textOption.setWrapMode(QTextOption::NoWrap);
    textOption.setTabArray(stops_);
    if (!stops_.isEmpty()) textOption.setTabStopDistance(stops_.front());
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect rect = opt.rect.adjusted(margin, 0, -margin, 0);
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(opt.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                         : QPalette::Text));
    painter->drawText(rect, text, textOption);
    painter->restore();
}

int TabStopDelegate::TextWidth(const QFont& font, const QString& text) const {
    // Each tab jumps to the next stop; the text after the last one follows.
    qreal x = 0;
    qsizetype start = 0;
    while (start < text.size() && text[start] == '\t') {
        const qsizetype tab = start++;
        x = tab < stops_.size() ? stops_[tab] : x + (stops_.isEmpty() ? 0 : stops_.front());
    }
    return static_cast<int>(x + QFontMetricsF(font).horizontalAdvance(text.mid(start))) + 1;
}

QSize TabStopDelegate::sizeHint(const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    // Every line as wide as the list, or as the longest line when that is wider: the list then
    // scrolls sideways to its last character.
    int width = option.widget != nullptr ? option.widget->width() : 0;
    const auto* model = dynamic_cast<const ListingModel*>(index.model());
    if (model != nullptr && model->LongestRow() >= 0) {
        const QString longest = model->index(model->LongestRow()).data().toString();
        const QWidget* widget = option.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        width = std::max(width, TextWidth(option.font, longest) + 2 * margin);
    }
    return {std::max(width, 1), QFontMetrics(option.font).height() + 2};
}

}  // namespace quorvale::window
