// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"

#include "app/AboutPanel.h"
#include "app/FilterServiceStatus.h"
#include "app/UpdatePage.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/Dispatch.h"
#include "platform/ProcessInfo.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/WindowController.h"
#include "resources/SceneIdentifiers.h"

#include <QAction>
#include <QApplication>
#include <QLayout>
#include <QMenuBar>

namespace {

const QString mainWindowIdentifier = SceneIdentifiers::mainWindowController();
const QString highSierraWindowIdentifier = SceneIdentifiers::highSierraWindowController();
// A service that admits the person at the machine asks polkit first, which answers within a second.
constexpr std::chrono::milliseconds launchVerdictWait{1500};

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
    // client would keep a dead connection, and knock again and again. The probe waits for that
    // verdict, where there is one to wait for, on a background thread: the event loop stays free.
    if (m_probing) {
        return;
    }
    m_probing = true;
    Dispatch::async(Dispatch::Queue::background, [delegate = weak_from_this()] {
        const FilterServiceStatus::State state = FilterServiceStatus::probe(launchVerdictWait);
        Dispatch::async(Dispatch::Queue::main, [delegate, state] {
            if (const auto self = delegate.lock()) {
                self->m_probing = false;
                self->launchWithServiceState(state);
            }
        });
    });
}

void AppDelegate::launchWithServiceState(FilterServiceStatus::State state) {
    m_launchServiceState = state;
    const bool refused = state == FilterServiceStatus::State::refused;
    const bool reachable = !refused && KextClient::shared().connectIfNeeded();
    if (!reachable && ProcessInfo::filterNeedsApproval()) {
        showWindowController(m_highSierraWindowController, highSierraWindowIdentifier);
        Q_EMIT launchDecided();
        return;
    }
    if (refused) {
        // The error view says so for as long as the window is open; every new attempt would only be
        // refused again, and logged by the service.
        KextClient::stayDisconnected();
    }
    if (!std::exchange(m_mainPathTaken, true)) {
        subscribeToBlacklist();
    }
    showWindowController(m_mainWindowController, mainWindowIdentifier);
    Q_EMIT launchDecided();
}

bool AppDelegate::mainWindowShown() const {
    return m_mainWindowController && m_mainWindowController->isWindowLoaded() &&
           m_mainWindowController->window()->isVisible();
}

void AppDelegate::subscribeToBlacklist() {
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

void AppDelegate::aboutMenuClicked(QWidget* window) {
    AboutPanel::show(window);
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
    connect(about, &QAction::triggered, window, [this, window] { aboutMenuClicked(window); });
    window->layout()->setMenuBar(menuBar);
}
