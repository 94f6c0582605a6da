// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/FirewallView.h"

#include "ui/firewall/BlockByPath.h"

#include <QDragEnterEvent>
#include <QDropEvent>

namespace {

DraggingInfo draggingInfo(const QDropEvent& event) {
    return DraggingInfo::fromMimeData(event.mimeData(),
                                      static_cast<unsigned>(event.possibleActions().toInt()));
}

} // namespace

FirewallView::FirewallView(QWidget* parent)
    : QWidget(parent) {
    registerDragAndDrop();
}

void FirewallView::registerDragAndDrop() {
    setAcceptDrops(true);
}

unsigned FirewallView::draggingEntered(const DraggingInfo& info) const {
    if (!info.types().contains(DraggingInfo::fileNamesType())) {
        return DraggingInfo::operationNone;
    }
    return operationAllowed(DraggingInfo::operationCopy, info.sourceOperationMask())
               ? DraggingInfo::operationCopy
               : DraggingInfo::operationNone;
}

bool FirewallView::operationAllowed(unsigned operation, unsigned mask) {
    return (operation & mask) != 0;
}

bool FirewallView::performDragOperation(const DraggingInfo& info) {
    if (!info.fileNames()) {
        return false;
    }
    for (const QString& path : *info.fileNames()) {
        blockByPath(path);
    }
    return true;
}

// Qt keeps the answer given on entry for the rest of the drag over this view, so there is no
// dragMoveEvent of our own.
void FirewallView::dragEnterEvent(QDragEnterEvent* event) {
    if (draggingEntered(draggingInfo(*event)) == DraggingInfo::operationCopy) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void FirewallView::dropEvent(QDropEvent* event) {
    if (performDragOperation(draggingInfo(*event))) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}
