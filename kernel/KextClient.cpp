#include "kernel/KextClient.h"

#include "kernel/HostNameCache.h"
#include "kernel/KextSocket.h"
#include "kernel/ProcessAppCache.h"
#include "kernel/wire/KextCommandFrame.h"
#include "kernel/wire/UniqueFd.h"
#include "model/Blacklist.h"
#include "model/FilterCommand.h"
#include "model/SettingsKeys.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using Quilvane::Wire::NameResolver;
using Quilvane::Wire::RecordBuffer;
using Quilvane::Wire::UniqueFd;

namespace {

// Records read in one go and decoded by one task; small enough that the main thread is handed
// work in slices that keep it responsive.
constexpr std::size_t kBatchLimit = 64;

// Host-name look-ups wait on the network, often for seconds, and a first look-up of a fast address
// queues behind the slow ones already running. They get a pool of their own, wide enough that a
// burst of unanswered addresses leaves threads for the rest, so they can never take the threads
// that decode records whose names are already known. The threads sleep in the resolver, so a small
// stack each is plenty, and idle ones go away after a while.
constexpr int kLookupThreads = 128;
constexpr uint kLookupStackBytes = 512 * 1024;
constexpr int kLookupIdleExpiryMs = 10'000;

QThreadPool& hostLookupPool() {
    static QThreadPool* const pool = [] {
        auto* lookups = new QThreadPool; // never destroyed: look-ups may outlive every client
        lookups->setMaxThreadCount(kLookupThreads);
        lookups->setStackSize(kLookupStackBytes);
        lookups->setExpiryTimeout(kLookupIdleExpiryMs);
        return lookups;
    }();
    return *pool;
}

bool hasConnectionCommand(const RecordBuffer& record) {
    return Quilvane::Wire::recordCommand(record) <=
           static_cast<std::uint32_t>(Quilvane::Wire::KextCommand::outgoingConnection);
}

QString lookUpHostname(const RecordBuffer& record, NameResolver resolver) {
    char host[NI_MAXHOST] = {};
    Quilvane::Wire::recordHostname(record, host, sizeof host, resolver);
    return QString::fromUtf8(host, static_cast<qsizetype>(strnlen(host, sizeof host)));
}

} // namespace

// Decoding state shared by the reader, the pools and the main thread. Work in flight holds it, so it
// outlives a client that is dropped while records are still being decoded; it then delivers nowhere.
struct Pipeline final : std::enable_shared_from_this<Pipeline> {
    std::atomic<NameResolver> resolver{&::getnameinfo};
    ProcessAppCache apps;
    HostNameCache hosts;
    KextClient* client = nullptr; // read and cleared on the main thread only

    void decode(const std::vector<RecordBuffer>& records) {
        std::vector<KextClient::KextEvent> ready;
        ready.reserve(records.size());
        for (const RecordBuffer& record : records) {
            if (!hasConnectionCommand(record)) {
                continue;
            }
            AppPtr app = apps.appForPid(Quilvane::Wire::recordPid(record));
            if (!app) {
                continue;
            }
            const int port = Quilvane::Wire::recordPort(record);
            const auto address = Quilvane::Wire::recordNativeAddress(record);
            if (!address) {
                // No valid address, so the look-up fails and the host name stays empty.
                ready.push_back({std::move(app), Connection::initWithHostname(QString(), port)});
                continue;
            }
            const QByteArray key = HostNameCache::keyFor(*address);
            bool mustResolve = false;
            if (auto hostname = hosts.findOrWait(key, {app, port}, mustResolve)) {
                ready.push_back({std::move(app), Connection::initWithHostname(*hostname, port)});
            } else if (mustResolve) {
                hostLookupPool().start(
                    [self = shared_from_this(), key, record] { self->resolve(key, record); });
            }
        }
        deliver(std::move(ready));
    }

    void resolve(const QByteArray& key, const RecordBuffer& record) {
        const QString hostname = lookUpHostname(record, resolver.load());
        std::vector<KextClient::KextEvent> ready;
        for (auto& pending : hosts.complete(key, hostname)) {
            ready.push_back({std::move(pending.app), Connection::initWithHostname(hostname, pending.port)});
        }
        deliver(std::move(ready));
    }

    void deliver(std::vector<KextClient::KextEvent> events) {
        if (events.empty()) {
            return;
        }
        Dispatch::async(Dispatch::Queue::main, [self = shared_from_this(), events = std::move(events)] {
            for (const auto& event : events) {
                if (self->client == nullptr) {
                    return;
                }
                self->client->notifySubscribers(event.connection, event.app);
            }
        });
    }
};

struct KextClient::Private {
    enum class ReadOutcome { record, skipped, wouldBlock, closed };

    std::atomic<std::int32_t> socket{0};
    std::mutex connecting;
    std::shared_ptr<Pipeline> pipeline = std::make_shared<Pipeline>();
    UniqueFd wakeReader;
    std::thread reader; // the read source: running once listening has started

    void startListening() {
        const int fd = socket.load();
        setNonBlocking(fd);
        wakeReader.reset(::eventfd(0, EFD_CLOEXEC));
        reader =
            std::thread([fd, wake = wakeReader.get(), pipeline = pipeline] { readLoop(fd, wake, pipeline); });
    }

    void stopListening() {
        if (!reader.joinable()) {
            return;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeReader.get(), &one, sizeof one);
        reader.join();
        wakeReader.reset();
    }

    // Reads messages while they are queued and hands them on in batches. Ends when the client goes
    // away, and also when the filter does (end of file or a socket error): a dead descriptor stays
    // readable forever, and polling it would only spin.
    static void readLoop(int fd, int wake, const std::shared_ptr<Pipeline>& pipeline) {
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (watched[1].revents != 0 || (watched[0].revents & POLLNVAL) != 0) {
                return;
            }
            std::vector<RecordBuffer> batch;
            batch.reserve(kBatchLimit);
            ReadOutcome outcome = ReadOutcome::record;
            while (batch.size() < kBatchLimit) {
                outcome = readKextCommand(fd, batch);
                if (outcome == ReadOutcome::wouldBlock || outcome == ReadOutcome::closed) {
                    break;
                }
            }
            if (!batch.empty()) {
                Dispatch::async(Dispatch::Queue::background,
                                [pipeline, batch = std::move(batch)] { pipeline->decode(batch); });
            }
            if (outcome == ReadOutcome::closed) {
                return;
            }
        }
    }

    // One message into a fresh zero-filled buffer; a shorter record reads as zeros past its end and
    // a longer one is cut at the buffer's size.
    static ReadOutcome readKextCommand(int fd, std::vector<RecordBuffer>& batch) {
        RecordBuffer buffer{};
        ssize_t length;
        do {
            length = ::read(fd, buffer.data(), buffer.size());
        } while (length < 0 && errno == EINTR);
        if (length > 0) {
            batch.push_back(buffer);
            return ReadOutcome::record;
        }
        if (length < 0) {
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? ReadOutcome::wouldBlock : ReadOutcome::closed;
        }
        // A read of 0 is either an empty message, which is dropped, or the end of the stream.
        pollfd hangup{fd, POLLRDHUP, 0};
        const bool ended =
            ::poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        return ended ? ReadOutcome::closed : ReadOutcome::skipped;
    }
};

namespace {

QMutex sharedMutex;
KextClient* sharedClient = nullptr;

} // namespace

KextClient::KextClient()
    : d(std::make_unique<Private>()) {
    d->pipeline->client = this;
    connectIfNeeded();
}

KextClient::~KextClient() {
    d->stopListening();
    d->pipeline->client = nullptr;
    if (const std::int32_t fd = d->socket.load(); fd != 0) {
        d->socket = closeKextSocket(fd);
    }
}

KextClient& KextClient::shared() {
    QMutexLocker lock(&sharedMutex);
    if (sharedClient == nullptr) {
        sharedClient = new KextClient; // kept until the process ends
    }
    return *sharedClient;
}

void KextClient::resetShared() {
    QMutexLocker lock(&sharedMutex);
    delete std::exchange(sharedClient, nullptr);
}

bool KextClient::connectIfNeeded() {
    // The approval guide polls from a pool while the launch may call from the main thread; one at
    // a time, so two overlapping calls cannot both open a socket.
    std::lock_guard lock(d->connecting);
    if (d->socket.load() == 0) {
        d->socket = openKextSocket();
        if (d->socket.load() != 0) {
            d->startListening();
        }
    }
    return d->socket.load() != 0;
}

void KextClient::updateBlacklist(const Blacklist* blacklist) {
    const std::int32_t fd = d->socket.load();
    if (fd == 0) {
        return;
    }
    const bool enabled = UserDefaults::standard().boolForKey(SettingsKeys::enableFirewall);
    const FilterCommand command = FilterCommand::forBlacklist(blacklist, enabled);
    command.report();
    if (command.replacesServiceList()) {
        const std::vector<std::uint8_t>& payload = command.payload();
        setKextOption(fd, Quilvane::Wire::kBlockListOption, payload.empty() ? nullptr : payload.data(),
                      payload.size());
    }
}

int KextClient::socket() const {
    return d->socket.load();
}

void KextClient::addSubscriber(std::shared_ptr<TrafficSubscriber> subscriber) {
    m_subscribers.push_back(std::move(subscriber));
}

void KextClient::notifySubscribers(const ConnectionPtr& connection, const AppPtr& app) {
    // By index: a subscriber may add another one while it is being called.
    for (std::size_t i = 0; i < m_subscribers.size(); ++i) {
        const std::shared_ptr<TrafficSubscriber> subscriber = m_subscribers[i];
        subscriber->connectionMade(connection, app);
    }
}

std::optional<KextClient::KextEvent> KextClient::parseKextCommand(const RecordBuffer& record,
                                                                  NameResolver resolver) {
    if (!hasConnectionCommand(record)) {
        return std::nullopt;
    }
    AppPtr app = App::initWithPid(Quilvane::Wire::recordPid(record));
    if (!app) {
        return std::nullopt;
    }
    const QString hostname = lookUpHostname(record, resolver);
    return KextEvent{std::move(app),
                     Connection::initWithHostname(hostname, Quilvane::Wire::recordPort(record))};
}

void KextClient::setNameResolverForTesting(NameResolver resolver) {
    d->pipeline->resolver = resolver;
    d->pipeline->hosts.clear();
}
