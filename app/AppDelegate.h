// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/FilterServiceStatus.h"
#include "model/BlacklistSubscriber.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QMenuBar;
class QWidget;
class Storyboard;
class Window;
class WindowController;

// The application's delegate: it decides what the user sees first once the event loop runs, and
// keeps the filter service's block list in step with the stored one. It looks at the service off the
// main thread first (a user polkit decides on is let in or turned away only after a moment). When the
// filter service cannot be used and needs an administrator's approval to run, only the start-up
// guide opens (it hands over once the service answers); otherwise the delegate subscribes to the
// block list, which sends the list to the service at once and after every change, and opens the main
// window: with the panes, or with the error view where the service cannot be reached or turns this
// user away (the client then never knocks again). It also carries the menu bar of both windows: Quit,
// Check for Updates… and About Quilvane.
class AppDelegate final : public QObject,
                          public BlacklistSubscriber,
                          public std::enable_shared_from_this<AppDelegate> {
    Q_OBJECT
public:
    explicit AppDelegate(Storyboard& storyboard);
    ~AppDelegate() override;

    // The delegate of this application, if one was installed.
    static std::shared_ptr<AppDelegate> applicationDelegate();
    static void setApplicationDelegate(std::shared_ptr<AppDelegate> delegate);

    // Called once the event loop has started.
    void applicationDidFinishLaunching();
    // Looks at the filter service on a background thread, then takes the launch decision with what
    // it found (launchDecided() says when).
    void launchApp();
    // The launch decision for a service in `state`: the start-up guide, or the block-list subscription
    // and the main window. The guide calls it when its own check has found the service answering.
    void launchWithServiceState(FilterServiceStatus::State state);
    // Whether the main window is open on screen.
    bool mainWindowShown() const;
    // Another start of the application in this session: the window already shown comes to the front.
    void activate();
    // Closing the last window ends the application.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
    void checkForUpdatesMenuClicked();
    // Help › About Quilvane in `window`'s menu: the version, the licence and the filter service's
    // state, over that window.
    void aboutMenuClicked(QWidget* window);

    void appBlocked(const AppPtr& app) override;
    void appUnblocked(const AppPtr& app) override;
    void blacklistLoaded(const QList<AppPtr>& apps) override;

    // What the launch found of the filter service, so that the guide's first frame says it.
    std::optional<FilterServiceStatus::State> launchServiceState() const { return m_launchServiceState; }

    const std::shared_ptr<WindowController>& mainWindowController() const { return m_mainWindowController; }
    const std::shared_ptr<WindowController>& highSierraWindowController() const {
        return m_highSierraWindowController;
    }

Q_SIGNALS:
    // A launch decision was taken: a window is open.
    void launchDecided();

private:
    void subscribeToBlacklist();
    void sendBlacklist();
    void showWindowController(std::shared_ptr<WindowController>& property, const QString& identifier);
    std::shared_ptr<WindowController> loadWindowController(std::shared_ptr<WindowController>& property,
                                                           const QString& identifier);
    void installMainMenu(Window* window);

    Storyboard& m_storyboard;
    std::shared_ptr<WindowController> m_mainWindowController;
    std::shared_ptr<WindowController> m_highSierraWindowController;
    std::optional<FilterServiceStatus::State> m_launchServiceState;
    bool m_probing = false;
    bool m_mainPathTaken = false;
};
