#pragma once

#include "platform/widgets/ViewController.h"

#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>

class QLabel;
class QMouseEvent;
class QTimer;

namespace Ui {
class HighSierraViewController;
}

// The start-up guide, shown instead of the main window while the filter service cannot be reached
// and needs an administrator to start it. It shows a picture of the command that starts the
// service and a link to the service settings, and checks once a second, off the main thread, whether
// the service answers. The first check that finds it ends the guide: the application delegate
// continues the launch (which opens the main window) and only then does the guide's window close, so
// the application never runs out of windows in between.
class HighSierraViewController final : public ViewController {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds pollInterval{1000};

    HighSierraViewController();
    ~HighSierraViewController() override;

    // The address that both ways of opening the service settings open.
    static QUrl securityPreferencesURL();

    QLabel* screenshot() const;
    QLabel* preferencePathLabel() const;
    // The repeating timer that drives the checks; null once the guide has ended.
    QTimer* kextPoller() const { return m_kextPoller.get(); }

    // A press on the guide's view: on the picture or on the settings label it opens the settings.
    // The press goes no further either way.
    void mouseDown(const QMouseEvent* event);
    void preferencesButtonClicked();
    // Starts one check on the background queue, unless the previous one is still running.
    void pollKext();
    // Connects to the filter service if not connected; answers whether a control socket is open.
    static bool isKextLoaded();
    // Ends the guide; takes effect once.
    void kextWasLoaded();

    // The number of checks started so far.
    int checksStarted() const { return m_checksStarted; }

    // Tests only: `check` replaces isKextLoaded() as the background check.
    using Check = std::function<bool()>;
    void setCheck(Check check) { m_check = std::move(check); }

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void checkFinished(bool loaded);
    static void openSecurityPreferences();

    std::unique_ptr<Ui::HighSierraViewController> m_ui;
    std::unique_ptr<QTimer> m_kextPoller;
    Check m_check;
    bool m_checkRunning = false;
    bool m_ended = false;
    int m_checksStarted = 0;
};
