// Walks the accessibility tree a screen reader sees from a widget and names every element that a
// person would hear without a name (rows of a list are their own text and are not walked).
#pragma once

#include <QAccessible>
#include <QStringList>
#include <QWidget>

namespace quorvale::test {

inline void CollectUnnamed(QAccessibleInterface* element, const QString& where,
                           QStringList& unnamed) {
    if (element == nullptr) return;
    const QAccessible::Role role = element->role();
    // Containers and scroll bars are not announced by a name of their own.
    const bool container = role == QAccessible::Client || role == QAccessible::Pane ||
                           role == QAccessible::Grouping || role == QAccessible::ScrollBar ||
                           role == QAccessible::Separator || role == QAccessible::Indicator ||
                           role == QAccessible::Row || role == QAccessible::ListItem ||
                           role == QAccessible::TreeItem || role == QAccessible::Cell ||
                           role == QAccessible::ColumnHeader || role == QAccessible::RowHeader;
    const QString here = where + "/" + QString::number(role, 16);
    if (!container && element->text(QAccessible::Name).trimmed().isEmpty()) unnamed << here;
    if (role == QAccessible::List || role == QAccessible::Tree) return;
    for (int i = 0; i < element->childCount(); ++i)
        CollectUnnamed(element->child(i), here, unnamed);
}

// The elements below `widget` that have no name, by their roles' path; empty when all have one.
inline QStringList UnnamedAccessibleElements(QWidget* widget) {
    QStringList unnamed;
    CollectUnnamed(QAccessible::queryAccessibleInterface(widget), "", unnamed);
    return unnamed;
}

}  // namespace quorvale::test
