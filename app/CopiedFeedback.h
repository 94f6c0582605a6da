// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>

class QAbstractButton;

// What a Copy button says once it has put its text on the clipboard: "Copied", for a moment, then
// its own title again. Nothing else on screen changes when the clipboard does, so without it a
// click looks as if it did nothing.
class CopiedFeedback final {
public:
    static constexpr std::chrono::milliseconds shownFor{1500};

    CopiedFeedback() = delete;

    // Says "Copied" on `button`; a click while it does so starts the moment again.
    static void show(QAbstractButton* button);
};
