// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SceneIdentifiers.h"
#include "tests/ui/monitor/MonitorFixture.h"

#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/UserDefaults.h"
#include "platform/widgets/Popover.h"
#include "platform/widgets/TableView.h"
#include "ui/monitor/MonitorScenes.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QTest>
#include <cstdlib>

std::unique_ptr<QTemporaryDir> MonitorFixture::s_controlDir;

void MonitorFixture::SetUpTestSuite() {
    s_controlDir = std::make_unique<QTemporaryDir>();
    ::setenv("QUILVANE_CONTROL_DIR", s_controlDir->path().toLocal8Bit().constData(), 1);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void MonitorFixture::TearDownTestSuite() {
    ::unsetenv("QUILVANE_CONTROL_DIR");
    s_controlDir.reset();
}

void MonitorFixture::SetUp() {
    // Blocks of earlier tests are stored in the settings; every test starts from none.
    QFile::remove(UserDefaults::standard().filePath());
    UserDefaults::resetStandard();
    Blacklist::resetShared();
    KextClient::resetShared();
    m_storyboard = std::make_unique<Storyboard>(QStringLiteral("Test"));
    registerMonitorScenes(*m_storyboard);
    m_controller = m_storyboard->instantiate<MonitorViewController>(SceneIdentifiers::monitorViewController());
    ASSERT_TRUE(m_controller);
    m_controller->setClock([this] { return m_now; });
    QWidget* view = m_controller->view();
    ASSERT_TRUE(view);
    view->resize(640, 400);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
}

void MonitorFixture::TearDown() {
    while (Popover* popover = Popover::lastShown()) {
        popover->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // A retired block list may keep holding the pane (subscribers are never released), so the pane
    // must not keep calling into this fixture, nor stay on screen for the next test.
    if (m_controller) {
        m_controller->setClock({});
        if (m_controller->isViewLoaded()) {
            m_controller->view()->hide();
        }
    }
    Blacklist::resetShared();
    KextClient::resetShared();
    m_controller.reset();
    m_storyboard.reset();
}

AppPtr MonitorFixture::bareApp(const QString& name) {
    return App::initWithName(name, name, std::nullopt);
}

AppPtr MonitorFixture::pathApp(const QString& name, const QString& path) {
    return App::initWithName(name, path.section(QLatin1Char('/'), -1), path);
}

ConnectionPtr MonitorFixture::connectionTo(const QString& host, int port) {
    return Connection::initWithHostname(host, port);
}

MonitorTableCellView* MonitorFixture::cell(int row) const {
    return qobject_cast<MonitorTableCellView*>(m_controller->tableView()->viewAtColumn(0, row, false));
}
