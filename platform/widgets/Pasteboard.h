// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

// The general pasteboard over the system clipboard. The X11 and Wayland clipboards hold one item, so
// several string items are written as one text, one item a line; the item list itself is kept here so
// that what was written can be read back exactly.
class Pasteboard final {
public:
    static Pasteboard& general();

    void clearContents();
    // Appends the items; returns whether the clipboard took them.
    bool writeObjects(const QStringList& items);
    const QStringList& items() const { return m_items; }

private:
    QStringList m_items;
};
