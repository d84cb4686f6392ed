// The window's push buttons: a flat face in the window's grey with a raised edge (sunken while
// pressed) and a dotted focus frame, and clicked by Enter as well as Space when focused. No button
// is a default that Enter clicks from elsewhere.
#pragma once

#include <QPushButton>

namespace quorvale::window {

class CommandButton final : public QPushButton {
  public:
    CommandButton(const QString& text, QWidget* parent);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace quorvale::window
