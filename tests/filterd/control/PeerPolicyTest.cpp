// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/PeerPolicy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using Filterd::PeerPolicy;

TEST(PeerPolicy, AllowsRootTheServiceUserAndGroupMembers) {
    const PeerPolicy policy(1000, gid_t{500});
    EXPECT_TRUE(policy.allows({1, 0, 0, {}}));
    EXPECT_TRUE(policy.allows({1, 1000, 1000, {}}));
    EXPECT_TRUE(policy.allows({1, 2000, 500, {}})) << "primary group";
    EXPECT_TRUE(policy.allows({1, 2000, 2000, {10, 500}})) << "supplementary group";
    EXPECT_FALSE(policy.allows({1, 2000, 2000, {10, 20}}));
}

TEST(PeerPolicy, WithoutGroupOnlyRootAndTheServiceUser) {
    const PeerPolicy policy(0, std::nullopt);
    EXPECT_TRUE(policy.allows({1, 0, 0, {}}));
    EXPECT_FALSE(policy.allows({1, 65534, 65534, {65534}}));
}

TEST(PeerPolicy, ReadsTheCredentialsOfTheOtherEnd) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    const auto peer = PeerPolicy::peerOf(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->pid, ::getpid());
    EXPECT_EQ(peer->uid, ::geteuid());
    EXPECT_EQ(peer->gid, ::getegid());
}
