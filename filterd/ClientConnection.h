#pragma once

#include "filterd/PeerPolicy.h"
#include "kernel/wire/KextRecord.h"
#include "kernel/wire/UniqueFd.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Filterd {

// One connected client of the control socket and the records waiting for it. The queue has a
// fixed capacity: a client that reads slowly or not at all loses records of its own (counted),
// and never holds up the service, the kernel's ring buffer or the other clients.
class ClientConnection final {
public:
    ClientConnection(Quilvane::Wire::UniqueFd socket, PeerPolicy::Peer peer, std::size_t queueCapacity);

    int fd() const { return m_socket.get(); }
    const PeerPolicy::Peer& peer() const { return m_peer; }

    // Queues one record; false, and one more drop, when the queue is full.
    bool enqueue(const std::uint8_t* record, std::size_t length);

    enum class FlushResult { empty, blocked, failed };
    // Sends queued records until the queue is empty or the socket is full.
    FlushResult flush();

    bool hasPending() const { return m_count > 0; }
    std::uint64_t delivered() const { return m_delivered; }
    std::uint64_t dropped() const { return m_dropped; }

    // Records dropped since the last report, at most one report per `interval`: lets the server log
    // a client that stopped reading a few times, not once per record.
    std::uint64_t takeNewDrops(std::chrono::steady_clock::time_point now, std::chrono::seconds interval);

    // Whether the server is waiting for the socket to become writable.
    bool waitingForWrite() const { return m_waitingForWrite; }
    void setWaitingForWrite(bool waiting) { m_waitingForWrite = waiting; }

private:
    struct Slot {
        Quilvane::Wire::RecordBuffer bytes; // room for the record's extension
        std::uint16_t length;
    };

    Quilvane::Wire::UniqueFd m_socket;
    PeerPolicy::Peer m_peer;
    bool grow();

    std::size_t m_capacity;
    std::vector<Slot> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
    std::uint64_t m_delivered = 0;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_reportedDrops = 0;
    std::chrono::steady_clock::time_point m_lastDropReport{};
    bool m_waitingForWrite = false;
};

} // namespace Filterd
