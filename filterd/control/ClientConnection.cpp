// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ClientConnection.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <utility>
#include <sys/socket.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

// A client whose queue holds this many records when its socket fills up is falling behind.
constexpr std::size_t kBehindRecords = 256;

} // namespace

ClientConnection::ClientConnection(UniqueFd socket, PeerPolicy::Peer peer, std::size_t queueCapacity,
                                   std::size_t queueBytes)
    : m_socket(std::move(socket))
    , m_peer(std::move(peer))
    , m_queue(queueCapacity, queueBytes) {}

bool ClientConnection::enqueue(const std::uint8_t* record, std::size_t length) {
    if (!m_queue.push(record, length)) {
        ++m_dropped;
        return false;
    }
    return true;
}

bool ClientConnection::addListPart(std::span<const std::uint8_t> names, std::size_t limit) {
    if (m_listPartsOverflowed || names.size() > limit - std::min(limit, m_listParts.size())) {
        m_listParts = {};
        m_listPartsOverflowed = true;
        return false;
    }
    m_listParts.insert(m_listParts.end(), names.begin(), names.end());
    return true;
}

std::vector<std::uint8_t> ClientConnection::takeListParts(bool& overflowed) {
    overflowed = std::exchange(m_listPartsOverflowed, false);
    return std::exchange(m_listParts, {});
}

ClientConnection::FlushResult ClientConnection::flush() {
    constexpr std::size_t kBatch = 64;
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    while (!m_queue.empty()) {
        const std::size_t batch = m_queue.peek(vectors);
        for (std::size_t i = 0; i < batch; ++i) {
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(m_socket.get(), messages.data(), static_cast<unsigned>(batch),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
                growSendBufferIfReading();
                return FlushResult::blocked;
            }
            return FlushResult::failed;
        }
        m_queue.pop(static_cast<std::size_t>(sent));
        m_delivered += static_cast<std::uint64_t>(sent);
        if (static_cast<std::size_t>(sent) < batch) {
            growSendBufferIfReading();
            return FlushResult::blocked;
        }
    }
    return FlushResult::empty;
}

// A full socket alone says nothing: a client that never reads fills the default buffer once and
// is then only written to again when it reads. A second full socket with records sent in between
// means the client reads but cannot keep up; only such a client gets the large buffer, so that a
// crowd of clients that never read cannot pin that much kernel memory each.
void ClientConnection::growSendBufferIfReading() {
    const bool reading = m_timesBlocked > 0 && m_delivered > m_deliveredAtLastBlock;
    ++m_timesBlocked;
    m_deliveredAtLastBlock = m_delivered;
    if (m_largeSendBuffer || !reading || m_queue.size() < kBehindRecords) {
        return;
    }
    // As root the limit of net.core.wmem_max does not apply.
    if (::setsockopt(m_socket.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kLargeSendBufferBytes,
                     sizeof kLargeSendBufferBytes) != 0) {
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_SNDBUF, &kLargeSendBufferBytes,
                     sizeof kLargeSendBufferBytes);
    }
    m_largeSendBuffer = true;
}

std::uint64_t ClientConnection::takeNewDrops(std::chrono::steady_clock::time_point now,
                                             std::chrono::seconds interval) {
    if (m_dropped == m_reportedDrops || now - m_lastDropReport < interval) {
        return 0;
    }
    m_lastDropReport = now;
    const std::uint64_t fresh = m_dropped - m_reportedDrops;
    m_reportedDrops = m_dropped;
    return fresh;
}

} // namespace Filterd
