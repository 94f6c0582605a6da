// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/ConnectionEvent.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace Filterd {

// Writes one structured entry per connection and refused attempt to the systemd journal, where the
// tools a fleet already runs (journal-upload, Vector, Fluent Bit, Promtail) pick it up. The event
// loop only copies the event into a bounded queue; a thread of its own talks to journald, so a slow
// or absent journal never delays records to the clients. Past `ratePerSecond` (a burst of one
// second's worth) or a full queue, entries are dropped and counted, and once a second an entry with
// kDroppedMessageId says how many went.
class JournalWriter final {
public:
    // The journal's catalogue identifiers of the two kinds of entry (`journalctl MESSAGE_ID=…`).
    static constexpr const char* kConnectionMessageId = "7d3b0f5c2a9e4c1f8b6a0d4e5f3c2b1a";
    static constexpr const char* kDroppedMessageId = "e41c9a7b3d5f4a2e9c8b7a6d5e4f3a2b";

    struct Options {
        std::uint32_t ratePerSecond = 5000;
        std::size_t queueCapacity = 65536;
    };

    explicit JournalWriter(Options options);
    ~JournalWriter(); // writes what is queued, then stops
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // On the event loop: never waits for the journal.
    void submit(const ConnectionEvent& event);

    // "journal: written N, over the rate M, queue full Q, failed F", for the statistics line.
    std::string statistics() const;

private:
    bool takeToken(std::chrono::steady_clock::time_point now);
    void work();
    void write(const ConnectionEvent& event);
    void reportDrops(bool final);

    Options m_options;
    double m_tokens;
    std::chrono::steady_clock::time_point m_refilled;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<ConnectionEvent> m_queue;
    bool m_stopping = false;

    std::atomic<std::uint64_t> m_written{0};
    std::atomic<std::uint64_t> m_overRate{0};
    std::atomic<std::uint64_t> m_queueFull{0};
    std::atomic<std::uint64_t> m_failed{0};
    std::uint64_t m_reportedDrops = 0; // writer thread only
    std::thread m_worker;
};

} // namespace Filterd
