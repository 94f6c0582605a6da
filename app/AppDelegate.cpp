// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SceneIdentifiers.h"
#include "app/AppDelegate.h"

#include "app/AboutPanel.h"
#include "app/FilterServiceStatus.h"
#include "app/UpdatePage.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/ProcessInfo.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/WindowController.h"

#include <QAction>
#include <QApplication>
#include <QLayout>
#include <QMenuBar>

namespace {

const QString mainWindowIdentifier = SceneIdentifiers::mainWindowController();
const QString highSierraWindowIdentifier = SceneIdentifiers::highSierraWindowController();
constexpr std::chrono::milliseconds launchVerdictWait{300};

std::weak_ptr<AppDelegate> s_applicationDelegate;

} // namespace

AppDelegate::AppDelegate(Storyboard& storyboard)
    : m_storyboard(storyboard) {}

AppDelegate::~AppDelegate() = default;

std::shared_ptr<AppDelegate> AppDelegate::applicationDelegate() {
    return s_applicationDelegate.lock();
}

void AppDelegate::setApplicationDelegate(std::shared_ptr<AppDelegate> delegate) {
    s_applicationDelegate = delegate;
}

void AppDelegate::applicationDidFinishLaunching() {
    launchApp();
}

void AppDelegate::launchApp() {
    // A service that hangs up on this user once polkit has said no must not count as reachable: the
    // client would keep a dead connection and the main window would show nothing. polkit answers in
    // milliseconds; the wait applies only to users that neither root nor the group lets in.
    m_launchServiceState = FilterServiceStatus::probe(launchVerdictWait);
    const bool refused = m_launchServiceState == FilterServiceStatus::State::refused;
    const bool reachable = !refused && KextClient::shared().connectIfNeeded();
    if (!reachable && ProcessInfo::filterNeedsApproval()) {
        showWindowController(m_highSierraWindowController, highSierraWindowIdentifier);
        return;
    }
    Blacklist& blacklist = Blacklist::shared();
    blacklist.addSubscriber(shared_from_this());
    blacklistLoaded(blacklist.apps());
    // A service that restarted has lost nothing of ours only if it hears the whole list again: the
    // switch and the list as they are now, including changes made while it was away.
    KextClient::shared().setReconnectedHandler([delegate = weak_from_this()] {
        if (const auto self = delegate.lock()) {
            self->sendBlacklist();
        }
    });
    showWindowController(m_mainWindowController, mainWindowIdentifier);
}

void AppDelegate::activate() {
    if (m_mainWindowController) {
        showWindowController(m_mainWindowController, mainWindowIdentifier);
    } else if (m_highSierraWindowController) {
        showWindowController(m_highSierraWindowController, highSierraWindowIdentifier);
    }
}

void AppDelegate::checkForUpdatesMenuClicked() {
    openUpdatePage();
}

void AppDelegate::aboutMenuClicked() {
    const auto& controller = m_mainWindowController;
    AboutPanel::show(controller && controller->isWindowLoaded() ? controller->window() : nullptr);
}

void AppDelegate::appBlocked(const AppPtr&) {
    sendBlacklist();
}

void AppDelegate::appUnblocked(const AppPtr&) {
    sendBlacklist();
}

void AppDelegate::blacklistLoaded(const QList<AppPtr>&) {
    sendBlacklist();
}

// The filter service replaces its whole list with every command, so every change sends all of it.
void AppDelegate::sendBlacklist() {
    KextClient::shared().updateBlacklist(&Blacklist::shared());
}

void AppDelegate::showWindowController(std::shared_ptr<WindowController>& property,
                                       const QString& identifier) {
    const std::shared_ptr<WindowController> controller = loadWindowController(property, identifier);
    if (!controller || !controller->window()) {
        return;
    }
    controller->showWindow();
}

std::shared_ptr<WindowController>
AppDelegate::loadWindowController(std::shared_ptr<WindowController>& property, const QString& identifier) {
    if (property) {
        return property;
    }
    property = m_storyboard.instantiate<WindowController>(identifier);
    if (property) {
        installMainMenu(property->window());
    }
    return property;
}

// Each window carries the application's menu bar (a desktop without a global menu has no other place
// for it), the guide too: checking for updates and quitting must not wait for the service.
void AppDelegate::installMainMenu(Window* window) {
    if (!window || !window->layout()) {
        return;
    }
    auto* menuBar = new QMenuBar(window);
    QMenu* fileMenu = menuBar->addMenu(tr("&File"));
    QAction* quit = fileMenu->addAction(tr("&Quit Quilvane"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    QMenu* helpMenu = menuBar->addMenu(tr("&Help"));
    QAction* checkForUpdates = helpMenu->addAction(tr("Check for Updates…"));
    connect(checkForUpdates, &QAction::triggered, this, &AppDelegate::checkForUpdatesMenuClicked);
    QAction* about = helpMenu->addAction(tr("&About Quilvane"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &AppDelegate::aboutMenuClicked);
    window->layout()->setMenuBar(menuBar);
}
