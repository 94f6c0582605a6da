// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/journal/JournalWriter.h"

#include "filterd/Log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <vector>

namespace Filterd {
namespace {

constexpr auto kReportInterval = std::chrono::seconds(1);

std::string addressText(const ConnectionEvent& event) {
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(event.family, event.address.data(), text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

const char* protocolName(std::uint8_t protocol) {
    return protocol == IPPROTO_UDP ? "udp" : protocol == IPPROTO_TCP ? "tcp" : "unknown";
}

} // namespace

JournalWriter::JournalWriter(Options options)
    : m_options(options)
    , m_tokens(options.ratePerSecond)
    , m_refilled(std::chrono::steady_clock::now()) {
    m_worker = std::thread([this] { work(); });
}

JournalWriter::~JournalWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_worker.join();
}

// A token bucket on the event loop's thread alone, so it needs no lock.
bool JournalWriter::takeToken(std::chrono::steady_clock::time_point now) {
    const double rate = m_options.ratePerSecond;
    const std::chrono::duration<double> elapsed = now - m_refilled;
    m_refilled = now;
    m_tokens = std::min(rate, m_tokens + elapsed.count() * rate);
    if (m_tokens < 1.0) {
        return false;
    }
    m_tokens -= 1.0;
    return true;
}

void JournalWriter::submit(const ConnectionEvent& event) {
    if (!takeToken(std::chrono::steady_clock::now())) {
        m_overRate.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_queue.size() >= m_options.queueCapacity) {
            m_queueFull.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        m_queue.push_back(event);
    }
    m_wake.notify_one();
}

void JournalWriter::work() {
    std::deque<ConnectionEvent> batch;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, kReportInterval, [this] { return m_stopping || !m_queue.empty(); });
        batch.swap(m_queue);
        const bool stopping = m_stopping;
        lock.unlock();
        for (const ConnectionEvent& event : batch) {
            write(event);
        }
        batch.clear();
        reportDrops(stopping);
        if (stopping) {
            return;
        }
        lock.lock();
    }
}

void JournalWriter::write(const ConnectionEvent& event) {
    const bool incoming = event.direction == ConnectionEvent::Direction::incoming;
    const char* direction = incoming ? "incoming" : "outgoing";
    const char* verdict = event.blocked ? "refused" : "allowed";
    const std::string address = addressText(event);
    const unsigned port = ntohs(event.port);
    std::vector<std::string> fields = {
        std::string("MESSAGE=") + (event.blocked ? "refused " : "") + direction + " " + event.peerText() +
            " by " + event.exe + " (pid " + std::to_string(event.pid) + ", uid " + std::to_string(event.uid) +
            ")",
        std::string("MESSAGE_ID=") + kConnectionMessageId,
        std::string("PRIORITY=") + (event.blocked ? "5" : "6"),
        "SYSLOG_IDENTIFIER=quilvane-filterd",
        std::string("QUILVANE_DIRECTION=") + direction,
        std::string("QUILVANE_VERDICT=") + verdict,
        "QUILVANE_PID=" + std::to_string(event.pid),
        "QUILVANE_UID=" + std::to_string(event.uid),
        "QUILVANE_EXE=" + event.exe,
        "QUILVANE_REMOTE_ADDR=" + address,
        "QUILVANE_REMOTE_PORT=" + std::to_string(port),
        // The service does not learn the local port of a connection; 0 says "unknown".
        "QUILVANE_LOCAL_PORT=0",
        std::string("QUILVANE_PROTOCOL=") + protocolName(event.protocol),
    };
    if (!event.script.empty()) {
        fields.push_back("QUILVANE_SCRIPT=" + event.script);
    }
    if (!event.host.empty()) {
        fields.push_back("QUILVANE_HOST=" + event.host);
    }
    std::vector<iovec> vectors;
    vectors.reserve(fields.size());
    for (std::string& field : fields) {
        vectors.push_back({field.data(), field.size()});
    }
    // The native protocol carries each field with its length, so a name holding a newline stays
    // one field.
    if (sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) < 0) {
        m_failed.fetch_add(1, std::memory_order_relaxed);
    } else {
        m_written.fetch_add(1, std::memory_order_relaxed);
    }
}

void JournalWriter::reportDrops(bool final) {
    const std::uint64_t overRate = m_overRate.load(std::memory_order_relaxed);
    const std::uint64_t queueFull = m_queueFull.load(std::memory_order_relaxed);
    const std::uint64_t dropped = overRate + queueFull;
    if (dropped == m_reportedDrops) {
        return;
    }
    const std::uint64_t since = dropped - m_reportedDrops;
    m_reportedDrops = dropped;
    const std::string message =
        std::to_string(since) + " connection entries were not written to the journal (" +
        std::to_string(m_options.ratePerSecond) + " a second at most" + (final ? ", at exit" : "") + ")";
    sd_journal_send("MESSAGE=%s", message.c_str(), "MESSAGE_ID=%s", kDroppedMessageId, "PRIORITY=4",
                    "SYSLOG_IDENTIFIER=quilvane-filterd", "QUILVANE_DROPPED=%llu",
                    static_cast<unsigned long long>(since), "QUILVANE_DROPPED_RATE_TOTAL=%llu",
                    static_cast<unsigned long long>(overRate), "QUILVANE_DROPPED_QUEUE_TOTAL=%llu",
                    static_cast<unsigned long long>(queueFull), nullptr);
}

std::string JournalWriter::statistics() const {
    return "journal: written " + std::to_string(m_written.load()) + ", over the rate " +
           std::to_string(m_overRate.load()) + ", queue full " + std::to_string(m_queueFull.load()) +
           ", failed " + std::to_string(m_failed.load());
}

} // namespace Filterd
