// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the network monitor with a few applications and an open connections popover into one PNG,
// for the documentation: `monitor_screenshot docs/monitor.png`. Not a test; it runs on the offscreen
// platform and composes the pane and the popover (a window of its own) as they stand on screen.

#include "resources/SceneIdentifiers.h"
#include "kernel/Connection.h"
#include "kernel/KextClient.h"
#include "model/App.h"
#include "model/Blacklist.h"
#include "platform/widgets/Popover.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/TableView.h"
#include "tests/support/ScratchHome.h"
#include "ui/monitor/ConnectionsViewController.h"
#include "ui/monitor/MonitorScenes.h"
#include "ui/monitor/MonitorTableCellView.h"
#include "ui/monitor/MonitorViewController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QPainter>
#include <QPushButton>
#include <QTableView>
#include <cstdio>
#include <cstdlib>

namespace {

void spin(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

struct Traffic {
    QString name;
    std::optional<QString> path;
    QList<std::pair<QString, int>> connections;
};

QList<Traffic> sampleTraffic() {
    return {
        {QStringLiteral("apt"),
         QStringLiteral("/usr/bin/apt"),
         {{QStringLiteral("deb.debian.org"), 443}, {QStringLiteral("security.debian.org"), 443}}},
        {QStringLiteral("git"),
         QStringLiteral("/usr/bin/git"),
         {{QStringLiteral("github.com"), 443},
          {QStringLiteral("codeload.github.com"), 443},
          {QStringLiteral("github.com"), 22},
          {QStringLiteral("objects.githubusercontent.com"), 443},
          {QStringLiteral("140.82.121.4"), 443},
          {QStringLiteral("api.github.com"), 443},
          {QStringLiteral("github.com"), 443}}},
        {QStringLiteral("systemd-resolved"),
         std::nullopt,
         {{QStringLiteral("one.one.one.one"), 53}, {QStringLiteral("dns.google"), 53}}},
        {QStringLiteral("curl"), QStringLiteral("/usr/bin/curl"), {{QStringLiteral("example.org"), 80}}},
        {QStringLiteral("ssh"), QStringLiteral("/usr/bin/ssh"), {{QStringLiteral("build.internal.lan"), 22}}},
        {QStringLiteral("python3.11"),
         QStringLiteral("/usr/bin/python3.11"),
         {{QStringLiteral("pypi.org"), 443}, {QStringLiteral("files.pythonhosted.org"), 443}}},
        {QStringLiteral("chronyd"), std::nullopt, {{QStringLiteral("2.debian.pool.ntp.org"), 123}}},
    };
}

} // namespace

int main(int argc, char** argv) {
    const ScratchHome home;
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2 || arguments.at(1).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: monitor_screenshot OUTPUT.png\n");
        return EXIT_FAILURE;
    }

    Storyboard storyboard(QStringLiteral("Main"));
    registerMonitorScenes(storyboard);
    auto monitor = storyboard.instantiate<MonitorViewController>(SceneIdentifiers::monitorViewController());
    QWidget* view = monitor->view();
    view->resize(920, 440);
    view->move(0, 0);
    view->show();
    for (const Traffic& traffic : sampleTraffic()) {
        const AppPtr process = App::initWithName(
            traffic.name, traffic.path ? traffic.path->section(QLatin1Char('/'), -1) : traffic.name,
            traffic.path);
        for (const auto& [host, port] : traffic.connections) {
            monitor->connectionMade(Connection::initWithHostname(host, port), process);
        }
    }
    // Twelve minutes into the monitoring period.
    const std::chrono::milliseconds started = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    monitor->setClock([started] { return started + std::chrono::minutes(12); });
    monitor->updateStatus();
    spin(400); // the rows' fades

    auto* gitRow = qobject_cast<MonitorTableCellView*>(monitor->tableView()->viewAtColumn(0, 1, false));
    if (!gitRow) {
        std::fprintf(stderr, "monitor_screenshot: the row of the sample application is not on screen\n");
        return EXIT_FAILURE;
    }
    gitRow->inspectButton()->click();
    Popover* popover = Popover::lastShown();
    auto content =
        popover ? std::dynamic_pointer_cast<ConnectionsViewController>(popover->contentViewController())
                : nullptr;
    if (!content) {
        std::fprintf(stderr, "monitor_screenshot: the popover did not open\n");
        return EXIT_FAILURE;
    }
    QTableView* table = content->tableView();
    for (int row : {0, 2}) {
        table->selectionModel()->select(table->model()->index(row, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    spin(100);

    const QRect paneRect(view->mapToGlobal(QPoint(0, 0)), view->size());
    const QRect popoverRect = popover->frameGeometry();
    const QRect canvasRect = paneRect.united(popoverRect).adjusted(-16, -16, 16, 16);
    QImage canvas(canvasRect.size(), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(QColor(0xe8, 0xe8, 0xec));
    QPainter painter(&canvas);
    painter.translate(-canvasRect.topLeft());
    painter.drawPixmap(paneRect.topLeft(), view->grab());
    painter.setPen(QColor(0, 0, 0, 60));
    painter.drawRect(paneRect.adjusted(-1, -1, 0, 0));
    painter.fillRect(popoverRect.translated(3, 4), QColor(0, 0, 0, 50));
    painter.drawPixmap(popoverRect.topLeft(), popover->grab());
    painter.drawRect(popoverRect.adjusted(-1, -1, 0, 0));
    painter.end();

    const bool saved = canvas.save(arguments.at(1));
    popover->close();
    monitor->clearButtonClicked();
    Blacklist::resetShared();
    KextClient::resetShared();
    if (!saved) {
        std::fprintf(stderr, "monitor_screenshot: cannot write %s\n", qPrintable(arguments.at(1)));
        return EXIT_FAILURE;
    }
    std::printf("wrote %s (%dx%d)\n", qPrintable(arguments.at(1)), canvas.width(), canvas.height());
    return EXIT_SUCCESS;
}
