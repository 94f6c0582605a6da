// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>

// The desktop's general font at a given size and weight, the stand-in for asking the platform for
// its system font of a size. Sizes are in the platform's points, which are device-independent
// pixels: a name set at 13 reads the same in every pane and on every screen density.
class SystemFont final {
public:
    static QFont ofSize(int size, QFont::Weight weight = QFont::Normal);

    // The size and weight of an application's name in the rows of both panes.
    static QFont rowName();
};
