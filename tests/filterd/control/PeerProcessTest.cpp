// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/PeerProcess.h"

#include "wire/UniqueFd.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using Filterd::PeerPolicy;
using Filterd::PeerProcess;
using Quilvane::Wire::UniqueFd;

namespace {

sockaddr_un abstractAddress(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size()); // leading NUL: no file
    return address;
}

} // namespace

// polkit is told which process to judge by its pid and start time; a client gone before it could
// be asked gives nothing, so that a later process with the same pid is never judged in its place.
TEST(PeerProcess, NamesALiveClientAndNothingOnceItHasGone) {
    const sockaddr_un address = abstractAddress("quilvane-peer-process-test-" + std::to_string(::getpid()));
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    int release[2];
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(release[1]);
        UniqueFd client(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
        ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ::close(release[0]);
    UniqueFd releaseChild(release[1]);
    UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    const auto peer = PeerPolicy::peerOf(accepted.get());
    ASSERT_TRUE(peer);

    const auto process = PeerProcess::of(accepted.get(), *peer);
    ASSERT_TRUE(process);
    EXPECT_EQ(process->pid, child);
    EXPECT_EQ(process->uid, ::geteuid());
    EXPECT_EQ(process->startTime, PeerProcess::startTimeOf(child));
    EXPECT_GE(process->startTime, PeerProcess::startTimeOf(::getpid())) << "started after this test";

    releaseChild.reset();
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(PeerProcess::of(accepted.get(), *peer)) << "gone: nothing to ask about";
}
