// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ClientQuota.h"

#include <gtest/gtest.h>

using Filterd::ClientQuota;
using Verdict = ClientQuota::Verdict;

TEST(ClientQuota, BoundsEachUserAndAllUsersButNeverLocksRootOut) {
    ClientQuota quota(4, 2);
    EXPECT_EQ(quota.reserve(1000), Verdict::admitted);
    EXPECT_EQ(quota.reserve(1000), Verdict::admitted);
    EXPECT_EQ(quota.reserve(1000), Verdict::userFull);
    EXPECT_EQ(quota.reserve(1001), Verdict::admitted);
    EXPECT_EQ(quota.reserve(1001), Verdict::admitted);
    EXPECT_EQ(quota.reserve(1002), Verdict::totalFull);

    EXPECT_EQ(quota.reserve(0), Verdict::admitted) << "root is held to its own share only";
    EXPECT_EQ(quota.reserve(0), Verdict::admitted);
    EXPECT_EQ(quota.reserve(0), Verdict::userFull);

    quota.release(1000);
    EXPECT_EQ(quota.reserve(1002), Verdict::admitted) << "a place given back is free again";
    quota.release(4242); // never reserved: changes nothing
    EXPECT_EQ(quota.used(), 4u);
}
