// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/FilterServiceStatus.h"
#include "platform/widgets/ViewController.h"

#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QMouseEvent;
class QTimer;

namespace Ui {
class HighSierraViewController;
}

// The start-up guide, shown instead of the main window while the filter service cannot be used. It
// says why (not installed, not running, or running but not letting this user in) and shows the one
// command that helps, selectable and with a Copy button, beside a picture of a terminal and a link
// to the service settings. It checks once a second, off the main thread, whether the service answers
// and lets this user in (ever less often while the service turns this user away). The first check
// that finds it so ends the guide: the application delegate continues the launch (which opens the
// main window) and only then does the guide's window close, so the application never runs out of
// windows in between; should the main window not open after all, the guide stays and checks on. Dialogs
// opened from the guide belong to its window and close with it.
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
    QLineEdit* commandField() const;
    // The repeating timer that drives the checks; null once the guide has ended.
    QTimer* kextPoller() const { return m_kextPoller.get(); }

    // A left-button press on the picture or on the settings label opens the settings and goes no
    // further; any other press goes on to the window (whose background moves it). Answers whether
    // the press was taken.
    bool mouseDown(const QMouseEvent* event);
    void preferencesButtonClicked();
    // Starts one check on the background queue, unless the previous one is still running.
    void pollKext();
    // Connects to the filter service if not connected; answers whether a control socket is open.
    static bool isKextLoaded();
    // Ends the guide; takes effect once.
    void kextWasLoaded();

    // The number of checks started so far.
    int checksStarted() const { return m_checksStarted; }

    // What the last check found; nothing before the first one.
    std::optional<FilterServiceStatus::State> serviceState() const { return m_state; }
    // Shows the texts and the command for `state`.
    void showServiceState(FilterServiceStatus::State state);
    // Puts the command on the clipboard.
    void copyButtonClicked();

    // Tests only: `check` replaces isKextLoaded() as the background check, and `diagnosis` the look
    // at the service that comes before it (by default, any service answering counts).
    using Check = std::function<bool()>;
    void setCheck(Check check) { m_check = std::move(check); }
    using Diagnosis = std::function<FilterServiceStatus::State()>;
    void setDiagnosis(Diagnosis diagnosis) { m_diagnosis = std::move(diagnosis); }

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void checkFinished(FilterServiceStatus::State state, bool loaded);
    void pollAfter(FilterServiceStatus::State state);
    void resumeAfterFailedHandOver();
    static QString statusLine(FilterServiceStatus::State state);
    static QString footnote(FilterServiceStatus::State state);
    static bool runningFromBuildTree();
    void closeOwnedDialogs();
    static void openSecurityPreferences();

    std::unique_ptr<Ui::HighSierraViewController> m_ui;
    std::unique_ptr<QTimer> m_kextPoller;
    Check m_check;
    Diagnosis m_diagnosis;
    std::optional<FilterServiceStatus::State> m_state;
    bool m_checkRunning = false;
    bool m_ended = false;
    int m_checksStarted = 0;
    int m_refusals = 0; // findings in a row that the service turns this user away
};
