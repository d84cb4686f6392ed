#include "window/command_button.h"

#include <qdrawutil.h>

#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace quorvale::window {

CommandButton::CommandButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setAutoDefault(false);
    setDefault(false);
}

void CommandButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier) {
        animateClick();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void CommandButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect face = rect();
    const QPalette& colours = palette();
    painter.fillRect(face, colours.color(QPalette::Button));
    qDrawWinButton(&painter, face, colours, isDown());
    QRect textRect = face.adjusted(3, 3, -3, -3);
    if (isDown()) textRect.translate(1, 1);
    painter.setPen(
        colours.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic, text());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = face.adjusted(4, 4, -4, -4);
        focus.backgroundColor = colours.color(QPalette::Button);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

}  // namespace quorvale::window
