// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/control/PeerPolicy.h"
#include "filterd/control/RecordQueue.h"
#include "wire/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Filterd {

// One connected client of the control socket and the records waiting for it. The queue is bounded
// in records and bytes: a client that reads slowly or not at all loses records of its own
// (counted), and never holds up the service, the kernel's ring buffer or the other clients.
class ClientConnection final {
public:
    // The send buffer a client that reads but falls behind is given; others keep the default.
    static constexpr int kLargeSendBufferBytes = 4 * 1024 * 1024;

    ClientConnection(Quilvane::Wire::UniqueFd socket, PeerPolicy::Peer peer, std::size_t queueCapacity,
                     std::size_t queueBytes = 2 * 1024 * 1024);

    int fd() const { return m_socket.get(); }

    const PeerPolicy::Peer& peer() const { return m_peer; }

    // Queues one record; false, and one more drop, when the queue is full.
    bool enqueue(const std::uint8_t* record, std::size_t length);

    enum class FlushResult { empty, blocked, failed };
    // Sends queued records until the queue is empty or the socket is full.
    FlushResult flush();

    bool hasPending() const { return !m_queue.empty(); }
    std::size_t queuedBytes() const { return m_queue.allocatedBytes(); }
    std::uint64_t delivered() const { return m_delivered; }
    std::uint64_t dropped() const { return m_dropped; }
    bool hasLargeSendBuffer() const { return m_largeSendBuffer; }

    // Records dropped since the last report, at most one report per `interval`: lets the server log
    // a client that stopped reading a few times, not once per record.
    std::uint64_t takeNewDrops(std::chrono::steady_clock::time_point now, std::chrono::seconds interval);

    // The parts of a list the client is sending in several messages, kept until its final message.
    // False, and the list marked as refused until that final message, when they outgrow `limit`.
    bool addListPart(std::span<const std::uint8_t> names, std::size_t limit);
    // The parts so far, and whether they outgrew the limit; both are reset.
    std::vector<std::uint8_t> takeListParts(bool& overflowed);

    // Whether the client asked for replies (a hello message), and the number of its last block-list
    // command since then: what a reply names as its sequence.
    bool wantsReplies() const { return m_wantsReplies; }
    void setWantsReplies() { m_wantsReplies = true; }
    // Whether the client said it reads records that name the host the process looked up.
    bool readsHostNames() const { return m_readsHostNames; }
    void setReadsHostNames() { m_readsHostNames = true; }
    std::uint32_t nextSequence() { return ++m_sequence; }
    // Tells this connection apart from a later one that got the same descriptor.
    std::uint64_t serial() const { return m_serial; }
    void setSerial(std::uint64_t serial) { m_serial = serial; }

    // Whether the server is waiting for the socket to become writable.
    bool waitingForWrite() const { return m_waitingForWrite; }
    void setWaitingForWrite(bool waiting) { m_waitingForWrite = waiting; }

private:
    void growSendBufferIfReading();

    Quilvane::Wire::UniqueFd m_socket;
    PeerPolicy::Peer m_peer;
    RecordQueue m_queue;
    std::uint64_t m_delivered = 0;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_reportedDrops = 0;
    std::uint64_t m_deliveredAtLastBlock = 0;
    std::uint32_t m_timesBlocked = 0;
    std::chrono::steady_clock::time_point m_lastDropReport{};
    std::vector<std::uint8_t> m_listParts;
    bool m_listPartsOverflowed = false;
    bool m_waitingForWrite = false;
    bool m_wantsReplies = false;
    bool m_readsHostNames = false;
    std::uint32_t m_sequence = 0;
    std::uint64_t m_serial = 0;
    bool m_largeSendBuffer = false;
};

} // namespace Filterd
