// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Images.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

TEST(ImagesTest, NamedImagesComeFromTheResources) {
    const std::optional<QIcon> process = Images::imageNamed(QStringLiteral("process_icon_32x32"));
    ASSERT_TRUE(process);
    EXPECT_EQ(process->pixmap(32, 32).size(), QSize(32, 32));

    EXPECT_EQ(Images::imageNamed(QStringLiteral("no_such_image")), std::nullopt);
    EXPECT_EQ(Images::imageNamed(QStringLiteral("../images/process_icon_32x32")), std::nullopt);
    EXPECT_EQ(Images::imageNamed(QString()), std::nullopt);
}

} // namespace
