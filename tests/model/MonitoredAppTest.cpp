// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/MonitoredApp.h"

#include "kernel/Connection.h"
#include "platform/Images.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QImage pictureOf(const QIcon& icon) {
    return icon.pixmap(32, 32).toImage();
}

ConnectionPtr connectionTo(const QString& host, int port) {
    return Connection::initWithHostname(host, port);
}

} // namespace

TEST(MonitoredAppTest, ProcessWithoutPathShowsTheProcessImageAndInMemoryText) {
    const MonitoredApp item(App::initWithName(QStringLiteral("cupsd"), QStringLiteral("cupsd"), std::nullopt),
                            {connectionTo(QStringLiteral("localhost"), 631)});

    EXPECT_EQ(item.info(), QStringLiteral("In-memory process"));
    const std::optional<QIcon> processImage = Images::imageNamed(QStringLiteral("process_icon_32x32"));
    ASSERT_TRUE(processImage.has_value()) << "the resources hold the process image";
    ASSERT_FALSE(item.icon().isNull());
    EXPECT_EQ(pictureOf(item.icon()), pictureOf(*processImage));
    EXPECT_EQ(item.connectionCount(), 1);
}

TEST(MonitoredAppTest, AppWithPathShowsThePathAndThePackagesOwnIcon) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // An icon no stock image looks like, so the row cannot be showing a fallback by chance.
    QImage own(32, 32, QImage::Format_ARGB32);
    own.fill(QColor(200, 30, 140));
    const QString iconPath = dir.filePath(QStringLiteral("own.png"));
    ASSERT_TRUE(own.save(iconPath));
    const QString program = dir.filePath(QStringLiteral("bin/tool"));
    ASSERT_TRUE(PackageFixtures::copyProgram(program));
    // A path with spaces and non-ASCII letters must come back character for character.
    const QString path = PackageFixtures::makeDesktopEntry(
        dir.filePath(QStringLiteral("Ünïcode tool.desktop")),
        "Type=Application\nName=Tool\nExec=" + program.toUtf8() + "\nIcon=" + iconPath.toUtf8() + "\n");
    const AppPtr app = App::initWithPath(path);
    ASSERT_TRUE(app);

    const MonitoredApp item(app, {});

    EXPECT_EQ(item.info(), path);
    EXPECT_EQ(pictureOf(item.icon()), own.convertToFormat(pictureOf(item.icon()).format()));
    const std::optional<QIcon> processImage = Images::imageNamed(QStringLiteral("process_icon_32x32"));
    ASSERT_TRUE(processImage.has_value());
    EXPECT_NE(pictureOf(item.icon()), pictureOf(*processImage));
}

TEST(MonitoredAppTest, EachAddedConnectionIsAppendedInOrderWithOneNotification) {
    const ConnectionPtr first = connectionTo(QStringLiteral("example.org"), 443);
    MonitoredApp item(App::initWithName(QStringLiteral("curl"), QStringLiteral("curl"), std::nullopt),
                      {first});
    QSignalSpy appended(&item, &MonitoredApp::connectionAppended);
    QSignalSpy reset(&item, &MonitoredApp::connectionsReset);
    const QList<ConnectionPtr> before = item.connections();

    QList<ConnectionPtr> added;
    for (int i = 0; i < 3; ++i) {
        // The same host and port three times: no de-duplication.
        added.append(connectionTo(QStringLiteral("example.org"), 443));
        item.addConnection(added.last());
    }

    ASSERT_EQ(item.connections().size(), 4);
    EXPECT_EQ(item.connections().at(0), first);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(item.connections().at(i + 1), added.at(i)) << "entry " << i + 1;
    }
    ASSERT_EQ(appended.size(), 3);
    EXPECT_EQ(appended.at(0).at(0).toInt(), 1);
    EXPECT_EQ(appended.at(2).at(0).toInt(), 3);
    EXPECT_EQ(reset.size(), 0);
    // A copy taken earlier is a snapshot; appending does not change it.
    EXPECT_EQ(before.size(), 1);
}

TEST(MonitoredAppTest, ReplacingTheListNotifiesOnce) {
    MonitoredApp item(App::initWithName(QStringLiteral("curl"), QStringLiteral("curl"), std::nullopt),
                      {connectionTo(QStringLiteral("a"), 1)});
    QSignalSpy appended(&item, &MonitoredApp::connectionAppended);
    QSignalSpy reset(&item, &MonitoredApp::connectionsReset);

    item.setConnections({connectionTo(QStringLiteral("b"), 2), connectionTo(QStringLiteral("c"), 3)});

    EXPECT_EQ(reset.size(), 1);
    EXPECT_EQ(appended.size(), 0);
    ASSERT_EQ(item.connectionCount(), 2);
    EXPECT_EQ(item.connections().at(1)->hostname(), QStringLiteral("c"));
}

namespace {

TEST(MonitoredAppBoundTest, KeepsTheNewestConnectionsUpToTheBoundAndCountsThemAll) {
    EXPECT_EQ(MonitoredApp::connectionLimit(), 10'000);
    MonitoredApp::setConnectionLimit(3);
    MonitoredApp item(App::initWithName(QStringLiteral("curl"), QStringLiteral("curl"), std::nullopt),
                      {connectionTo(QStringLiteral("h0"), 0)});
    QSignalSpy dropped(&item, &MonitoredApp::oldestConnectionsDropped);
    for (int i = 1; i < 6; ++i) {
        item.addConnection(connectionTo(QStringLiteral("h%1").arg(i), i));
    }
    MonitoredApp::setConnectionLimit(MonitoredApp::defaultConnectionLimit);

    ASSERT_EQ(item.connectionCount(), 3);
    EXPECT_EQ(item.connections().first()->hostname(), QStringLiteral("h3"));
    EXPECT_EQ(item.connections().last()->hostname(), QStringLiteral("h5"));
    EXPECT_EQ(item.totalConnectionCount(), 6);
    EXPECT_EQ(dropped.size(), 3);
}

} // namespace
