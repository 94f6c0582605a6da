// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>
#include <memory>

class ViewController;

// A transient popup that shows one view controller's view next to a widget (Qt::Popup: a click
// outside closes it), framed by a thin border so that it stands apart from the window under it, and
// kept whole on the anchor's screen. The popover owns its content controller and deletes itself when
// it closes.
class Popover final : public QWidget {
    Q_OBJECT
public:
    enum class Behavior { applicationDefined = 0, transient = 1, semitransient = 2 };
    enum class RectEdge { minX = 0, minY = 1, maxX = 2, maxY = 3 };

    explicit Popover(QWidget* parent = nullptr);
    ~Popover() override;

    void setBehavior(Behavior behavior) { m_behavior = behavior; }
    Behavior behavior() const { return m_behavior; }

    void setContentViewController(std::shared_ptr<ViewController> controller);
    const std::shared_ptr<ViewController>& contentViewController() const { return m_contentViewController; }

    // Shows the content anchored to `positioningView` (an empty rect means the whole view), on the
    // preferred edge when it fits on screen. maxY is the edge below the view in screen terms.
    void showRelativeToRect(const QRect& rect, QWidget* positioningView, RectEdge preferredEdge);
    QWidget* positioningView() const { return m_positioningView; }

    // The popover shown last that is still open (tests use it to find what a click opened).
    static Popover* lastShown();

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void installContent();
    // Where the popover's top-left corner goes: on the preferred edge of `anchor`, or the opposite
    // one when only that fits, moved inside `available` (when valid).
    QPoint placement(const QRect& anchor, const QRect& available, RectEdge preferredEdge) const;

    std::shared_ptr<ViewController> m_contentViewController;
    QPointer<QWidget> m_positioningView;
    Behavior m_behavior = Behavior::transient;
};
