// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Popover.h"

#include "platform/widgets/ViewController.h"

#include <QCloseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace {

// Space between the popover and the rectangle it points at.
constexpr int anchorGap = 4;

QPointer<Popover>& lastShownPopover() {
    static QPointer<Popover> popover;
    return popover;
}

// The popover's top-left corner on `edge` of `anchor`, centred along that edge.
QPoint placeOnEdge(const QRect& anchor, const QSize& size, Popover::RectEdge edge) {
    switch (edge) {
    case Popover::RectEdge::minX:
        return {anchor.left() - anchorGap - size.width(), anchor.center().y() - size.height() / 2};
    case Popover::RectEdge::maxX:
        return {anchor.right() + 1 + anchorGap, anchor.center().y() - size.height() / 2};
    case Popover::RectEdge::minY:
        return {anchor.center().x() - size.width() / 2, anchor.top() - anchorGap - size.height()};
    case Popover::RectEdge::maxY:
        break;
    }
    return {anchor.center().x() - size.width() / 2, anchor.bottom() + 1 + anchorGap};
}

Popover::RectEdge oppositeEdge(Popover::RectEdge edge) {
    switch (edge) {
    case Popover::RectEdge::minX:
        return Popover::RectEdge::maxX;
    case Popover::RectEdge::maxX:
        return Popover::RectEdge::minX;
    case Popover::RectEdge::minY:
        return Popover::RectEdge::maxY;
    case Popover::RectEdge::maxY:
        break;
    }
    return Popover::RectEdge::minY;
}

// Whether `rect` fits on the screen along the axis that `edge` places it on.
bool fitsAlong(const QRect& rect, const QRect& screen, Popover::RectEdge edge) {
    if (edge == Popover::RectEdge::minY || edge == Popover::RectEdge::maxY) {
        return rect.top() >= screen.top() && rect.bottom() <= screen.bottom();
    }
    return rect.left() >= screen.left() && rect.right() <= screen.right();
}

// Moves `rect` inside `screen` as far as it can.
QRect clampedInto(QRect rect, const QRect& screen) {
    rect.moveLeft(std::max(screen.left(), std::min(rect.left(), screen.right() + 1 - rect.width())));
    rect.moveTop(std::max(screen.top(), std::min(rect.top(), screen.bottom() + 1 - rect.height())));
    return rect;
}

} // namespace

Popover::Popover(QWidget* parent)
    : QWidget(parent, Qt::Popup) {
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(anchorGap, anchorGap, anchorGap, anchorGap);
}

Popover::~Popover() = default;

void Popover::setContentViewController(std::shared_ptr<ViewController> controller) {
    if (controller == m_contentViewController) {
        return;
    }
    if (m_contentViewController && m_contentViewController->isViewLoaded()) {
        QWidget* oldView = m_contentViewController->view();
        if (oldView->parentWidget() == this) {
            layout()->removeWidget(oldView);
            oldView->hide();
            oldView->deleteLater();
        }
    }
    m_contentViewController = std::move(controller);
    // The content is loaded when the popover is shown, so that the caller can finish setting up the
    // controller first; a popover already on screen takes the new content at once.
    if (isVisible()) {
        installContent();
    }
}

void Popover::showRelativeToRect(const QRect& rect, QWidget* positioningView, RectEdge preferredEdge) {
    if (!positioningView) {
        return;
    }
    m_positioningView = positioningView;
    setWindowFlags(m_behavior == Behavior::applicationDefined ? Qt::Tool | Qt::FramelessWindowHint
                                                              : Qt::Popup);
    installContent();
    // The content's size is only final once it is polished, so ask for it before placing.
    ensurePolished();
    if (QWidget* content = m_contentViewController ? m_contentViewController->view() : nullptr) {
        content->ensurePolished();
    }
    if (layout()) {
        layout()->activate();
    }
    adjustSize();

    const QRect local = rect.isEmpty() ? positioningView->rect() : rect;
    const QRect anchor(positioningView->mapToGlobal(local.topLeft()), local.size());
    const QScreen* screen = positioningView->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    move(placement(anchor, available, preferredEdge));
    show();
    // Showing may still settle the size (a style's last word on margins); keep the whole popover
    // on the screen even then.
    if (const QPoint settled = placement(anchor, available, preferredEdge); settled != pos()) {
        move(settled);
    }
    lastShownPopover() = this;
}

QPoint Popover::placement(const QRect& anchor, const QRect& available, RectEdge preferredEdge) const {
    QRect placed(placeOnEdge(anchor, size(), preferredEdge), size());
    if (available.isValid()) {
        const QRect flipped(placeOnEdge(anchor, size(), oppositeEdge(preferredEdge)), size());
        if (!fitsAlong(placed, available, preferredEdge) && fitsAlong(flipped, available, preferredEdge)) {
            placed = flipped;
        }
        placed = clampedInto(placed, available);
    }
    return placed.topLeft();
}

Popover* Popover::lastShown() {
    Popover* popover = lastShownPopover();
    return popover && popover->isVisible() ? popover : nullptr;
}

void Popover::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        Q_EMIT closed();
    }
}

void Popover::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void Popover::installContent() {
    if (!m_contentViewController) {
        return;
    }
    QWidget* view = m_contentViewController->view();
    if (view && view->parentWidget() != this) {
        layout()->addWidget(view);
        view->show();
    }
}
