// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class Storyboard;

// Base of every view controller: owns the loading of one widget tree. view() builds it on first use
// through loadView() and then calls viewDidLoad() exactly once. Controllers are created by a
// Storyboard (which sets storyboard()) and are shared with std::shared_ptr; they never take a QObject
// parent. A view that has not been put into another widget is deleted with its controller.
class ViewController : public QObject {
    Q_OBJECT
public:
    explicit ViewController(QObject* parent = nullptr);
    ~ViewController() override;

    // Loads the view on first use.
    QWidget* view();
    bool isViewLoaded() const { return !m_view.isNull(); }

    // The storyboard this controller came from (absent when built by hand).
    Storyboard* storyboard() const { return m_storyboard; }
    void setStoryboard(Storyboard* storyboard) { m_storyboard = storyboard; }

protected:
    // Builds the widget tree (typically from the controller's Designer form).
    virtual QWidget* loadView() = 0;
    virtual void viewDidLoad() {}

private:
    QPointer<QWidget> m_view;
    Storyboard* m_storyboard = nullptr;
    bool m_loading = false;
};
