#include "filterd/ClientConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {

ClientConnection::ClientConnection(UniqueFd socket, PeerPolicy::Peer peer, std::size_t queueCapacity)
    : m_socket(std::move(socket))
    , m_peer(std::move(peer))
    , m_capacity(std::max<std::size_t>(queueCapacity, 1)) {}

bool ClientConnection::enqueue(const std::uint8_t* record, std::size_t length) {
    if (length > Quilvane::Wire::kRecordBufferSize || (m_count == m_slots.size() && !grow())) {
        ++m_dropped;
        return false;
    }
    Slot& slot = m_slots[(m_head + m_count) % m_slots.size()];
    std::memcpy(slot.bytes.data(), record, length);
    slot.length = static_cast<std::uint16_t>(length);
    ++m_count;
    return true;
}

// A slot holds a record with its extension (up to 576 bytes): the queue grows as a client falls
// behind, up to its capacity, instead of taking the whole capacity from the start.
bool ClientConnection::grow() {
    if (m_slots.size() >= m_capacity) {
        return false;
    }
    std::vector<Slot> larger(std::min(m_capacity, std::max<std::size_t>(64, m_slots.size() * 2)));
    for (std::size_t i = 0; i < m_count; ++i) {
        larger[i] = m_slots[(m_head + i) % m_slots.size()];
    }
    m_slots = std::move(larger);
    m_head = 0;
    return true;
}

ClientConnection::FlushResult ClientConnection::flush() {
    constexpr std::size_t kBatch = 64;
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    while (m_count > 0) {
        const std::size_t batch = std::min(kBatch, m_count);
        for (std::size_t i = 0; i < batch; ++i) {
            Slot& slot = m_slots[(m_head + i) % m_slots.size()];
            vectors[i] = {slot.bytes.data(), slot.length};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent =
            ::sendmmsg(m_socket.get(), messages, static_cast<unsigned>(batch), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) ? FlushResult::blocked
                                                                                 : FlushResult::failed;
        }
        m_head = (m_head + static_cast<std::size_t>(sent)) % m_slots.size();
        m_count -= static_cast<std::size_t>(sent);
        m_delivered += static_cast<std::uint64_t>(sent);
        if (static_cast<std::size_t>(sent) < batch) {
            return FlushResult::blocked;
        }
    }
    return FlushResult::empty;
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
