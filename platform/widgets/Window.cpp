// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Window.h"

#include "platform/widgets/ViewController.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <utility>

Window::Window(QWidget* parent)
    : QWidget(parent, Qt::Window) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

Window::~Window() = default;

void Window::setContentViewController(std::shared_ptr<ViewController> controller) {
    if (controller == m_contentViewController) {
        return;
    }
    std::shared_ptr<ViewController> old = std::move(m_contentViewController);
    m_contentViewController = std::move(controller);

    if (QWidget* oldView = m_contentView) {
        layout()->removeWidget(oldView);
        oldView->hide();
        // The replacement may be triggered from inside the old view (a button of the error view,
        // say), so the old view and its controller go once control has returned to the event loop.
        connect(oldView, &QObject::destroyed, this, [keep = std::move(old)] {});
        oldView->deleteLater();
    }
    m_contentView = nullptr;

    if (m_contentViewController) {
        if (QWidget* view = m_contentViewController->view()) {
            layout()->addWidget(view);
            view->show();
            m_contentView = view;
        }
    }
}

void Window::setTitleVisibility(TitleVisibility visibility) {
    m_titleVisibility = visibility;
    applyTitle();
}

void Window::setTitlebarAppearsTransparent(bool transparent) {
    // The title bar is drawn by the window manager, which offers no transparent variant; the content
    // already reaches the window's edges, so the state is only recorded for the callers that ask.
    m_titlebarAppearsTransparent = transparent;
}

void Window::setTitle(const QString& title) {
    m_title = title;
    applyTitle();
}

void Window::makeKeyAndOrderFront() {
    show();
    raise();
    activateWindow();
}

void Window::mousePressEvent(QMouseEvent* event) {
    // Presses that no child took (labels and plain containers ignore them) reach the window itself.
    if (!m_movableByWindowBackground || event->button() != Qt::LeftButton ||
        !isBackgroundAt(event->position().toPoint())) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    m_movePressPosition = event->globalPosition();
}

void Window::mouseMoveEvent(QMouseEvent* event) {
    if (!m_movePressPosition || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    event->accept();
    const QPointF travelled = event->globalPosition() - *m_movePressPosition;
    if (travelled.manhattanLength() < QApplication::startDragDistance()) {
        return;
    }
    m_movePressPosition.reset();
    // Started only now, with the button still down: a move requested on the press itself made
    // some window managers (openbox) keep following the pointer after a plain click.
    if (QWindow* handle = windowHandle()) {
        // Platforms without a window manager (offscreen, some Wayland sessions) refuse the move;
        // the request has still been made.
        handle->startSystemMove();
    }
    Q_EMIT systemMoveStarted();
}

void Window::mouseReleaseEvent(QMouseEvent* event) {
    m_movePressPosition.reset();
    QWidget::mouseReleaseEvent(event);
}

// Scroll areas (tables, lists) show content, not background, all the way down to their empty part.
bool Window::isBackgroundAt(const QPoint& position) const {
    for (const QWidget* widget = childAt(position); widget && widget != this;
         widget = widget->parentWidget()) {
        if (qobject_cast<const QAbstractScrollArea*>(widget)) {
            return false;
        }
    }
    return true;
}

void Window::showEvent(QShowEvent* event) {
    if (!std::exchange(m_placed, true)) {
        placeOnScreen();
    }
    applyNativeTitle();
    QWidget::showEvent(event);
}

// The first time it opens, the window fits the screen's free area (without panels and docks)
// whole: a window larger than a small screen, or placed past its edge, would open partly out of reach.
void Window::placeOnScreen() {
    const QScreen* screen = this->screen();
    if (!screen) {
        return;
    }
    const QRect available = screen->availableGeometry();
    // The frame the window system adds counts too, where it is known already.
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    QRect placed = geometry().marginsAdded(frame);
    placed.setSize(placed.size().boundedTo(available.size()));
    placed.moveLeft(
        std::max(available.left(), std::min(placed.left(), available.right() + 1 - placed.width())));
    placed.moveTop(
        std::max(available.top(), std::min(placed.top(), available.bottom() + 1 - placed.height())));
    placed = placed.marginsRemoved(frame);
    placed.setSize(placed.size().expandedTo(minimumSize()));
    if (placed != geometry()) {
        setGeometry(placed);
    }
}

void Window::applyTitle() {
    setWindowTitle(m_titleVisibility == TitleVisibility::hidden ? QString() : m_title);
    applyNativeTitle();
}

// Qt hands the window system the application's name for an empty title, so a hidden title would
// still read "Quilvane" in the title bar and the task list. A zero-width space is a title Qt keeps
// and that shows as nothing; the widget's own title stays empty.
void Window::applyNativeTitle() {
    if (m_titleVisibility == TitleVisibility::hidden && windowHandle()) {
        windowHandle()->setTitle(QString(QChar(0x200B)));
    }
}
