// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextSocket.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

// A block list larger than the default socket buffer needs a forced buffer size, which only root may
// set; as an ordinary user the limit is net.core.wmem_max.
TEST(KextSocketTest, SetKextOptionCarriesALargeBlockList) {
    if (!TestEnvironment::isRoot()) {
        GTEST_SKIP() << "needs root to raise the socket buffer above net.core.wmem_max";
    }
    FakeKextFilter filter;
    const int fd = openKextSocket();
    ASSERT_GT(fd, 0);
    setNonBlocking(fd);
    const std::vector<std::uint8_t> payload(512 * 1024, 'x');
    EXPECT_EQ(setKextOption(fd, 0, payload.data(), payload.size()), 0);
    ASSERT_TRUE(filter.waitForCommands(1));
    EXPECT_EQ(filter.commands()[0].payload.size(), payload.size());
    closeKextSocket(fd);
}
