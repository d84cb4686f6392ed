// The window's layout, in twips (15 to a logical pixel at 96 dots per inch), in one table: the
// places at the window's own size. A larger or smaller window grows or shrinks the list; the
// controls below it keep their places relative to its bottom-left, and the notice line its width
// relative to the window's.
#pragma once

#include <QRect>

namespace quorvale::window {

inline constexpr int kTwipsPerPixel = 15;

constexpr int Px(int twips) {
    return twips / kTwipsPerPixel;
}

// A control's place in the window's client area, in twips.
struct Place {
    int left;
    int top;
    int width;
    int height;
    QRect Pixels() const { return QRect(Px(left), Px(top), Px(width), Px(height)); }
};

namespace layout {
inline constexpr int kClientWidth = 11880;
inline constexpr int kClientHeight = 4095;
inline constexpr Place kList{120, 120, 11655, 3180};
inline constexpr Place kChooseButton{120, 3480, 1935, 375};
inline constexpr Place kExitButton{2280, 3480, 1215, 375};
inline constexpr Place kSaveButton{3720, 3480, 1455, 375};
inline constexpr Place kStatusLabel{5400, 3480, 2175, 375};
inline constexpr Place kNoticeLabel{120, 3840, 11775, 255};
inline constexpr Place kCountLabel{8880, 3480, 2775, 255};
// The smallest client area the window can be made: the buttons and the status beside them.
inline constexpr int kMinimumWidth = kStatusLabel.left + kStatusLabel.width + 120;
inline constexpr int kMinimumHeight = kClientHeight - kList.height + 600;
// The list's tab stops, in dialog units (a quarter of the font's average character width).
inline constexpr int kFirstTabStop = 30;
inline constexpr int kSecondTabStop = 60;
}  // namespace layout

}  // namespace quorvale::window
