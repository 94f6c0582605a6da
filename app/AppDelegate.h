// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/FilterServiceStatus.h"
#include "model/BlacklistSubscriber.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QMenuBar;
class Storyboard;
class Window;
class WindowController;

// The application's delegate: it decides what the user sees first once the event loop runs, and
// keeps the filter service's block list in step with the stored one. When the filter service cannot
// be reached and needs an administrator's approval to run, only the start-up guide opens (it calls
// launchApp() again once the service is reachable); otherwise the delegate subscribes to the block
// list, which sends the list to the service at once and after every change, and opens the main
// window. It also carries the menu bar of both windows: Quit, Check for Updates… and About Quilvane.
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
    // The launch decision: the start-up guide, or the block-list subscription and the main window.
    void launchApp();
    // Another start of the application in this session: the window already shown comes to the front.
    void activate();
    // Closing the last window ends the application.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
    void checkForUpdatesMenuClicked();
    // Help › About Quilvane: the version, the licence and the filter service's state.
    void aboutMenuClicked();

    void appBlocked(const AppPtr& app) override;
    void appUnblocked(const AppPtr& app) override;
    void blacklistLoaded(const QList<AppPtr>& apps) override;

    // What the launch found of the filter service, so that the guide's first frame says it.
    std::optional<FilterServiceStatus::State> launchServiceState() const { return m_launchServiceState; }

    const std::shared_ptr<WindowController>& mainWindowController() const { return m_mainWindowController; }
    const std::shared_ptr<WindowController>& highSierraWindowController() const {
        return m_highSierraWindowController;
    }

private:
    void sendBlacklist();
    void showWindowController(std::shared_ptr<WindowController>& property, const QString& identifier);
    std::shared_ptr<WindowController> loadWindowController(std::shared_ptr<WindowController>& property,
                                                           const QString& identifier);
    void installMainMenu(Window* window);

    Storyboard& m_storyboard;
    std::shared_ptr<WindowController> m_mainWindowController;
    std::shared_ptr<WindowController> m_highSierraWindowController;
    std::optional<FilterServiceStatus::State> m_launchServiceState;
};
