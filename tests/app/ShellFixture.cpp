// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/app/ShellFixture.h"

#include "app/AppDelegate.h"
#include "app/MainStoryboard.h"
#include "app/Startup.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/Dispatch.h"
#include "platform/ProcessInfo.h"
#include "platform/UserDefaults.h"
#include "platform/Workspace.h"
#include "platform/widgets/Storyboard.h"

#include <QApplication>
#include <QFile>
#include <QThreadPool>
#include <QtTest/QSignalSpy>

void ShellFixture::SetUp() {
    QFile::remove(UserDefaults::standard().filePath());
    UserDefaults::resetStandard();
    Startup::registerDefaults(UserDefaults::standard());
    Blacklist::resetShared();
    KextClient::resetShared();
    m_previousControlDir = qgetenv("QUILVANE_CONTROL_DIR");
    ASSERT_TRUE(m_noFilter.isValid());
    qputenv("QUILVANE_CONTROL_DIR", QFile::encodeName(m_noFilter.path()));
    ProcessInfo::setFilterNeedsApprovalOverride(true);
    m_delegate = std::make_shared<AppDelegate>(storyboard());
    AppDelegate::setApplicationDelegate(m_delegate);
    Workspace::setUrlOpener([urls = m_openedURLs](const QUrl& url) {
        urls->append(url);
        return true;
    });
}

void ShellFixture::TearDown() {
    // Checks still running in the background report to the main thread; let them land first.
    Dispatch::backgroundPool().waitForDone();
    QCoreApplication::sendPostedEvents();
    QApplication::closeAllWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Workspace::setUrlOpener({});
    ProcessInfo::setFilterNeedsApprovalOverride(std::nullopt);
    AppDelegate::setApplicationDelegate(nullptr);
    m_delegate.reset();
    KextClient::resetShared();
    if (m_previousControlDir.isEmpty()) {
        qunsetenv("QUILVANE_CONTROL_DIR");
    } else {
        qputenv("QUILVANE_CONTROL_DIR", m_previousControlDir);
    }
}

void ShellFixture::launchApp() {
    QSignalSpy decided(m_delegate.get(), &AppDelegate::launchDecided);
    m_delegate->launchApp();
    ASSERT_TRUE(decided.wait(5000)) << "the launch took no decision";
}

Storyboard& ShellFixture::storyboard() {
    static Storyboard* const board = [] {
        auto* made = new Storyboard(QStringLiteral("Main"));
        registerMainStoryboard(*made);
        return made;
    }();
    return *board;
}

QList<QWidget*> ShellFixture::visibleWindows() {
    QList<QWidget*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->isWindow()) {
            windows.append(widget);
        }
    }
    return windows;
}
