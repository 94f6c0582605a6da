// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ui/firewall/DraggingInfo.h"

#include <QWidget>

// The drop target of the firewall pane: the pane's whole area, table included (its rows take no
// drops of their own). It takes drags that carry local files, offered as "text/uri-list" by file
// managers and by application menus (desktop entries), when the source allows copying, and blocks
// each dropped path that names an application or an executable. Other paths are skipped silently;
// the pane's table changes only through the block list.
class FirewallView final : public QWidget {
    Q_OBJECT
public:
    explicit FirewallView(QWidget* parent = nullptr);

    // Makes the view a drop target for files (the constructor already does).
    void registerDragAndDrop();

    // The operation to show for a drag entering the view: copy, or none to refuse it.
    unsigned draggingEntered(const DraggingInfo& info) const;
    // True when the operation and the mask share at least one bit.
    static bool operationAllowed(unsigned operation, unsigned mask);
    // Blocks every dropped path that gives an App. False when the file list cannot be read; true
    // otherwise, even when nothing was added.
    bool performDragOperation(const DraggingInfo& info);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
