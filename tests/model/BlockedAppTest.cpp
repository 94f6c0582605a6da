// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/BlockedApp.h"

#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace PackageFixtures;

namespace {

TEST(BlockedAppTest, BareAppShowsTheProcessImageAndTheNameRule) {
    const BlockedApp row(App::initWithIdentifier(QStringLiteral("Safari")));
    EXPECT_EQ(row.info(), QStringLiteral("Blocking any process with this name"));
    ASSERT_FALSE(row.icon().isNull());
    const QImage shown = row.icon().pixmap(32, 32).toImage();
    const QImage resource(QStringLiteral(":/images/process_icon_32x32.png"));
    EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32), resource.convertToFormat(QImage::Format_ARGB32));
}

TEST(BlockedAppTest, AppWithPathShowsThePathAndThatFilesIcon) {
    QTemporaryDir dir;
    const QString bundle = makeBundle(dir.path(), QStringLiteral("Painted"), QStringLiteral("exe"), true,
                                      QStringLiteral("<key>CFBundleIconFile</key><string>icon.png</string>"));
    QDir().mkpath(bundle + QStringLiteral("/Contents/Resources"));
    QImage green(16, 16, QImage::Format_ARGB32);
    green.fill(Qt::green);
    ASSERT_TRUE(green.save(bundle + QStringLiteral("/Contents/Resources/icon.png")));

    const BlockedApp row(App::initWithPath(bundle));
    EXPECT_EQ(row.info(), bundle);
    EXPECT_EQ(row.app()->identifier(), bundle);
    ASSERT_FALSE(row.icon().isNull());
    EXPECT_EQ(row.icon().pixmap(16, 16).toImage().pixelColor(4, 4), QColor(Qt::green));
}

} // namespace
