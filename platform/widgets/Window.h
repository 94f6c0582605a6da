// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>
#include <optional>

class ViewController;

// A top-level window whose content is one view controller's view, with the title-bar treatments the
// application uses: a transparent title bar (the content reaches the top edge), a hidden title text,
// and moving the window by dragging its background (QWindow::startSystemMove). At its first show it
// is fitted into the screen's free area, so it never opens partly out of reach.
//
// The background is whatever no child keeps a press for (plain containers, labels, the logo), except
// the content of scroll areas: a press inside a table belongs to the table, even on its empty part.
// The move starts only once the pointer has travelled the drag distance with the button held, so a
// click on the background stays a click.
class Window : public QWidget {
    Q_OBJECT
public:
    enum class TitleVisibility { visible = 0, hidden = 1 };

    explicit Window(QWidget* parent = nullptr);
    ~Window() override;

    // The content view controller; its view fills the window. Setting another releases the old one
    // (its view is deleted). nullptr leaves the window empty.
    void setContentViewController(std::shared_ptr<ViewController> controller);
    const std::shared_ptr<ViewController>& contentViewController() const { return m_contentViewController; }

    void setTitleVisibility(TitleVisibility visibility);
    TitleVisibility titleVisibility() const { return m_titleVisibility; }
    void setTitlebarAppearsTransparent(bool transparent);
    bool titlebarAppearsTransparent() const { return m_titlebarAppearsTransparent; }
    void setMovableByWindowBackground(bool movable) { m_movableByWindowBackground = movable; }
    bool isMovableByWindowBackground() const { return m_movableByWindowBackground; }

    // The title set by the window's resources, shown unless the title is hidden.
    void setTitle(const QString& title);
    QString title() const { return m_title; }

    void makeKeyAndOrderFront();

Q_SIGNALS:
    // Emitted when a drag on the background asked the window system to move the window.
    void systemMoveStarted();

protected:
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void placeOnScreen();
    void applyTitle();
    void applyNativeTitle();
    bool isBackgroundAt(const QPoint& position) const;

    std::shared_ptr<ViewController> m_contentViewController;
    QPointer<QWidget> m_contentView;
    QString m_title;
    bool m_placed = false; // placed on the screen at its first show
    TitleVisibility m_titleVisibility = TitleVisibility::visible;
    bool m_titlebarAppearsTransparent = false;
    bool m_movableByWindowBackground = false;
    // Where a press on the background began, while the button is held and no move has started.
    std::optional<QPointF> m_movePressPosition;
};
