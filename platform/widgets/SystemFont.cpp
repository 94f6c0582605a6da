// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/SystemFont.h"

#include <QFontDatabase>

namespace {

constexpr int rowNameSize = 13;

} // namespace

QFont SystemFont::ofSize(int size, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    // Pixel size, not point size: a Qt point follows the screen's dots per inch, so 13 "points"
    // would be 17 pixels at 96 dpi and the names of one pane would stand a third taller than the
    // other's.
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

QFont SystemFont::rowName() {
    return ofSize(rowNameSize, QFont::Medium);
}
