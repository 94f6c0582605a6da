// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextClient.h"

#include "kernel/KextSocket.h"
#include "kernel/RecordDecoder.h"
#include "model/Blacklist.h"
#include "model/FilterCommand.h"
#include "model/ListEnforcement.h"
#include "model/Notices.h"
#include "model/RefusedAttempts.h"
#include "model/SettingsKeys.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"
#include "wire/ControlPath.h"
#include "wire/KextCommandFrame.h"
#include "wire/LocalSocket.h"
#include "wire/RecordExtension.h"
#include "wire/ServiceReply.h"
#include "wire/UniqueFd.h"

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Quilvane::Wire::NameResolver;
using Quilvane::Wire::RecordBuffer;
using Quilvane::Wire::UniqueFd;

namespace {

// Records read with one system call and decoded by one task; small enough that the main thread is
// handed work in slices that keep it responsive.
constexpr std::size_t kBatchLimit = 64;

// How long light traffic is left to gather before it is read: far below what a person can see in
// the monitor, long enough that ten thousand records a second arrive in batches of forty.
constexpr int kGatherMs = 4;

// While the filter service is away the client tries again this often, and at once whenever its
// folder changes.
constexpr std::chrono::milliseconds kRetryInterval{1000};
// After a refusal the service would only refuse again, and log it, until someone changes its mind:
// the first new attempt comes after this long, and each refusal in a row doubles the wait up to the
// longest.
constexpr std::chrono::milliseconds kFirstRefusalDelay{5000};
constexpr std::chrono::milliseconds kLongestRefusalDelay{10 * 60 * 1000};

// Set once the window says for good that the service does not let this user in.
std::atomic<bool> s_stayDisconnected{false};

const QString kServiceNoticeKey = QStringLiteral("service");
const QString kNotSentNoticeKey = QStringLiteral("blocklist-not-sent");

// Host-name look-ups wait on the network, often for seconds, and a first look-up of a fast address
// queues behind the slow ones already running. They get a pool of their own, wide enough that a
// burst of unanswered addresses leaves threads for the rest, so they can never take the threads
// that decode records whose names are already known. The threads sleep in the resolver, so a small
// stack each is plenty, and idle ones go away after a while. The decoder runs no more look-ups at
// once than the pool has threads, so nothing ever queues inside the pool, where it could not be
// bounded (HostNameCache keeps the queue).
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

} // namespace

// Decoding state shared by the reader, the look-up pool and the main thread. Work in flight holds it, so it
// outlives a client that is dropped while records are still being decoded; it then delivers nowhere.
struct Pipeline final : std::enable_shared_from_this<Pipeline> {
    RecordDecoder decoder{&ProcessAppCache::makeApp, lookupLimits()};
    KextClient* client = nullptr; // read and cleared on the main thread only

    static HostNameCache::Limits lookupLimits() {
        HostNameCache::Limits limits;
        limits.workers = kLookupThreads;
        return limits;
    }

    void decode(const std::vector<RecordDecoder::Message>& batch) {
        std::vector<KextClient::KextEvent> ready;
        std::vector<AppPtr> refused;
        std::vector<Quilvane::Wire::ServiceReply> replies;
        ready.reserve(batch.size());
        for (const RecordDecoder::Message& message : batch) {
            if (Quilvane::Wire::recordCommand(message.record) == Quilvane::Wire::kReplyCommand) {
                if (auto reply =
                        Quilvane::Wire::decodeReply(std::span(message.record).first(message.length))) {
                    replies.push_back(std::move(*reply));
                }
                continue;
            }
            auto decoded = decoder.decode(message.record, message.length);
            std::move(decoded.givenUp.begin(), decoded.givenUp.end(), std::back_inserter(ready));
            switch (decoded.kind) {
            case RecordDecoder::Decoded::Kind::connection:
                ready.push_back({std::move(decoded.app), std::move(decoded.connection)});
                break;
            case RecordDecoder::Decoded::Kind::refused:
                refused.push_back(std::move(decoded.app));
                break;
            case RecordDecoder::Decoded::Kind::mustResolveHost:
                hostLookupPool().start([self = shared_from_this()] { self->lookUpHosts(); });
                break;
            case RecordDecoder::Decoded::Kind::awaitingHost:
            case RecordDecoder::Decoded::Kind::dropped:
                break;
            }
        }
        deliverReplies(std::move(replies));
        deliver(std::move(ready), std::move(refused));
    }

    // One look-up worker: it takes queued addresses until none is left.
    void lookUpHosts() {
        while (const auto key = decoder.nextLookup()) {
            deliver(decoder.resolveHost(*key), {});
        }
    }

    // In the order they came, before the records read with them and before a loss of the socket.
    void deliverReplies(std::vector<Quilvane::Wire::ServiceReply> replies) {
        if (replies.empty()) {
            return;
        }
        Dispatch::async(Dispatch::Queue::main, [self = shared_from_this(), replies = std::move(replies)] {
            if (self->client == nullptr) {
                return;
            }
            for (const auto& reply : replies) {
                if (reply.kind == Quilvane::Wire::ReplyKind::hello) {
                    self->client->serviceSaidHello();
                }
                ListEnforcement::shared().replyReceived(reply);
            }
        });
    }

    void deliver(std::vector<KextClient::KextEvent> events, std::vector<AppPtr> refused) {
        if (events.empty() && refused.empty()) {
            return;
        }
        Dispatch::async(Dispatch::Queue::main, [self = shared_from_this(), events = std::move(events),
                                                refused = std::move(refused)] {
            if (!refused.empty() && self->client != nullptr) {
                const QDateTime now = QDateTime::currentDateTime();
                for (const AppPtr& app : refused) {
                    RefusedAttempts::shared().record(app->identifierKey(), now);
                }
            }
            for (const auto& event : events) {
                if (self->client == nullptr) {
                    return;
                }
                self->client->notifySubscribers(event.connection, event.app);
            }
        });
    }

    // The reader's socket `fd` reached its end; the client (if still there) starts over.
    void lost(std::int32_t fd) {
        Dispatch::async(Dispatch::Queue::main, [self = shared_from_this(), fd] {
            if (self->client != nullptr) {
                self->client->connectionLost(fd);
            }
        });
    }
};

struct KextClient::Private {
    enum class ReadOutcome { read, wouldBlock, closed };
    using Message = RecordDecoder::Message;

    std::atomic<std::int32_t> socket{0};
    std::atomic<std::uint32_t> sequence{0}; // block-list commands sent on this connection
    std::atomic<bool> letIn{false};         // the service said hello on this connection
    std::mutex connecting;
    std::shared_ptr<Pipeline> pipeline = std::make_shared<Pipeline>();
    UniqueFd wakeReader;
    std::thread reader; // the read source: running once listening has started
    std::function<void()> reconnected;
    // Main thread only, while the filter service is away.
    std::unique_ptr<QTimer> retry;
    std::unique_ptr<QFileSystemWatcher> controlFolder;
    int refusals = 0;            // connections in a row the service ended before letting the client in
    bool awaitingReturn = false; // a connection was lost and its successor has not been let in yet

    void closeSocket(std::int32_t fd) {
        stopListening();
        closeKextSocket(fd);
        socket = 0;
    }

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

    // Reads messages while they are queued, decodes them and hands them to the main thread in
    // batches. Ends when the client goes away, and also when the filter does (end of file or a socket
    // error), which the client hears of: a dead descriptor stays readable forever, and polling it
    // would only spin.
    //
    // Decoding runs here rather than on a pool of its own: with the caches it is a small part of a
    // record's cost, and every hand-off between threads costs more (two wake-ups per batch). For the
    // same reason light traffic is gathered for a few milliseconds before it is read, so that a
    // batch carries many records; heavy traffic fills whole batches and is read without a pause.
    static void readLoop(int fd, int wake, const std::shared_ptr<Pipeline>& pipeline) {
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        Scratch scratch;
        bool busy = false;
        for (;;) {
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                pipeline->lost(fd);
                return;
            }
            if (watched[1].revents != 0 || (!busy && woken(wake, kGatherMs))) {
                return;
            }
            if ((watched[0].revents & POLLNVAL) != 0) {
                pipeline->lost(fd);
                return;
            }
            std::size_t read = 0;
            ReadOutcome outcome = ReadOutcome::read;
            while (outcome == ReadOutcome::read) {
                std::vector<Message> batch;
                outcome = readKextCommands(fd, scratch, batch);
                read += batch.size();
                pipeline->decode(batch);
            }
            busy = read >= kBatchLimit;
            if (outcome == ReadOutcome::closed) {
                pipeline->lost(fd);
                return;
            }
        }
    }

    // Waits up to `milliseconds` for the client to go away.
    static bool woken(int wake, int milliseconds) {
        pollfd watched{wake, POLLIN, 0};
        return ::poll(&watched, 1, milliseconds) > 0;
    }

    // Buffers the kernel writes into; each message is copied out into a fresh zero-filled record, so
    // a shorter one reads as zeros past its end and a longer one is cut at the buffer's size.
    struct Scratch {
        std::array<Quilvane::Wire::RecordBuffer, kBatchLimit> buffers;
        std::array<iovec, kBatchLimit> vectors;
        std::array<mmsghdr, kBatchLimit> headers;
    };

    // Up to a batch of queued messages with one system call. `read` means that a full batch came
    // and more may be waiting.
    static ReadOutcome readKextCommands(int fd, Scratch& scratch, std::vector<Message>& batch) {
        for (std::size_t i = 0; i < kBatchLimit; ++i) {
            scratch.vectors[i] = {scratch.buffers[i].data(), scratch.buffers[i].size()};
            scratch.headers[i] = {};
            scratch.headers[i].msg_hdr.msg_iov = &scratch.vectors[i];
            scratch.headers[i].msg_hdr.msg_iovlen = 1;
        }
        int received;
        do {
            received = ::recvmmsg(fd, scratch.headers.data(), kBatchLimit, MSG_DONTWAIT, nullptr);
        } while (received < 0 && errno == EINTR);
        if (received < 0) {
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? ReadOutcome::wouldBlock : ReadOutcome::closed;
        }
        bool sawEmpty = false;
        batch.reserve(static_cast<std::size_t>(received));
        for (int i = 0; i < received; ++i) {
            const std::size_t length = scratch.headers[i].msg_len;
            if (length == 0) {
                sawEmpty = true;
                continue;
            }
            Message& message = batch.emplace_back();
            message.length = length;
            std::memcpy(message.record.data(), scratch.buffers[i].data(), length);
        }
        // A read of 0 is either an empty message, which is dropped, or the end of the stream.
        if (sawEmpty && Quilvane::Wire::LocalSocket::emptyReadEndsStream(fd)) {
            return ReadOutcome::closed;
        }
        return static_cast<std::size_t>(received) == kBatchLimit ? ReadOutcome::read
                                                                 : ReadOutcome::wouldBlock;
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
    d->retry.reset();
    d->controlFolder.reset();
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
    s_stayDisconnected = false;
}

bool KextClient::connectIfNeeded() {
    // The approval guide polls from a pool while the launch may call from the main thread; one at
    // a time, so two overlapping calls cannot both open a socket.
    std::lock_guard lock(d->connecting);
    if (d->socket.load() == 0 && !s_stayDisconnected) {
        d->socket = openKextSocket();
        if (d->socket.load() != 0) {
            d->sequence = 0;
            d->letIn = false;
            // Replies on and the names programs looked up in records, then the list in force: a
            // service that predates replies ignores both with a log line, and this client then
            // simply hears nothing.
            const std::uint32_t reads = Quilvane::Wire::kRecordExtensionHostVersion;
            static_assert(sizeof reads == Quilvane::Wire::kHelloVersionSize);
            setKextOption(d->socket.load(), Quilvane::Wire::kHelloOption, &reads, sizeof reads);
            setKextOption(d->socket.load(), Quilvane::Wire::kListInForceOption, nullptr, 0);
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
    if (!command.replacesServiceList()) {
        return;
    }
    if (sendBlockList(fd, command.payload()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        Notices::shared().set(kNotSentNoticeKey,
                              QObject::tr("The block list could not be sent to the filter service (%1); the "
                                          "blocks shown may not be in force.")
                                  .arg(reason));
        return;
    }
    Notices::shared().clear(kNotSentNoticeKey);
    QStringList names;
    for (const std::string& name :
         Quilvane::Wire::decodeProcessNames(command.payload()).value_or(std::vector<std::string>())) {
        names.append(QString::fromStdString(name));
    }
    ListEnforcement::shared().commandSent(++d->sequence, names);
}

int KextClient::socket() const {
    return d->socket.load();
}

void KextClient::stayDisconnected() {
    s_stayDisconnected = true;
    QMutexLocker lock(&sharedMutex);
    if (sharedClient == nullptr) {
        return;
    }
    Private& d = *sharedClient->d;
    d.retry.reset();
    d.controlFolder.reset();
    std::lock_guard connecting(d.connecting);
    if (const std::int32_t fd = d.socket.load(); fd != 0) {
        d.closeSocket(fd);
    }
}

std::chrono::milliseconds KextClient::delayAfterRefusals(int refusals) {
    if (refusals <= 0) {
        return kRetryInterval;
    }
    std::chrono::milliseconds delay = kFirstRefusalDelay;
    for (int i = 1; i < refusals && delay < kLongestRefusalDelay; ++i) {
        delay *= 2;
    }
    return std::min(delay, kLongestRefusalDelay);
}

int KextClient::refusalsInARow() const {
    return d->refusals;
}

bool KextClient::admittedByService() const {
    return d->socket.load() != 0 && d->letIn.load();
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
                                                                  std::size_t length, NameResolver resolver) {
    // A decoder of its own, so nothing is remembered between calls; otherwise the product's path.
    RecordDecoder decoder;
    decoder.setNameResolver(resolver);
    RecordDecoder::Decoded decoded = decoder.decode(record, length);
    switch (decoded.kind) {
    case RecordDecoder::Decoded::Kind::connection:
        return KextEvent{std::move(decoded.app), std::move(decoded.connection)};
    case RecordDecoder::Decoded::Kind::mustResolveHost:
        while (const auto key = decoder.nextLookup()) {
            if (auto events = decoder.resolveHost(*key); !events.empty()) {
                return std::move(events.front());
            }
        }
        return std::nullopt;
    case RecordDecoder::Decoded::Kind::refused:
    case RecordDecoder::Decoded::Kind::awaitingHost:
    case RecordDecoder::Decoded::Kind::dropped:
        break;
    }
    return std::nullopt;
}

void KextClient::setNameResolverForTesting(NameResolver resolver) {
    d->pipeline->decoder.setNameResolver(resolver);
}

void KextClient::setReconnectedHandler(std::function<void()> handler) {
    d->reconnected = std::move(handler);
}

// The service said hello: it has let this client in. Only now is a lost service back, so the
// notice goes and the list is sent again; a connection that is refused never gets this far.
void KextClient::serviceSaidHello() {
    d->letIn = true;
    d->refusals = 0;
    if (!std::exchange(d->awaitingReturn, false)) {
        return;
    }
    Notices::shared().clear(kServiceNoticeKey);
    if (d->reconnected) {
        d->reconnected();
    }
}

// The connection ended: the service stopped, or it never let this client in. Say which, forget the
// dead socket and try again, soon after a stop and ever later after refusals in a row.
void KextClient::connectionLost(std::int32_t fd) {
    {
        std::lock_guard lock(d->connecting);
        if (d->socket.load() != fd) {
            return;
        }
        d->closeSocket(fd);
    }
    ListEnforcement::shared().connectionLost();
    d->awaitingReturn = true;
    if (s_stayDisconnected) {
        return;
    }
    if (d->letIn) {
        d->refusals = 0;
        Notices::shared().set(kServiceNoticeKey,
                              QObject::tr("The filter service stopped. Blocked applications stay blocked; "
                                          "changes wait until it is back."));
        startRetrying(kRetryInterval);
        return;
    }
    ++d->refusals;
    Notices::shared().set(kServiceNoticeKey,
                          QObject::tr("The filter service ended the connection without letting Quilvane in "
                                      "(it does not accept this user, or this user has too many Quilvane "
                                      "windows open). Blocked applications stay blocked; changes wait. "
                                      "Quilvane asks again later, less often after each refusal."));
    startRetrying(delayAfterRefusals(d->refusals));
}

void KextClient::startRetrying(std::chrono::milliseconds delay) {
    if (!d->retry) {
        d->retry = std::make_unique<QTimer>();
        QObject::connect(d->retry.get(), &QTimer::timeout, d->retry.get(), [this] { tryReconnecting(); });
    }
    d->retry->setInterval(delay);
    d->retry->start();
    d->controlFolder.reset();
    if (d->refusals > 0) {
        // A refusing service is there; its folder changing is no reason to knock again sooner.
        return;
    }
    const QString folder = QString::fromStdString(Quilvane::Wire::controlDirectory());
    d->controlFolder = std::make_unique<QFileSystemWatcher>();
    d->controlFolder->addPath(folder); // fails quietly when the folder is gone; the timer still runs
    QObject::connect(d->controlFolder.get(), &QFileSystemWatcher::directoryChanged, d->retry.get(),
                     [this] { tryReconnecting(); });
}

void KextClient::tryReconnecting() {
    if (!connectIfNeeded()) {
        return;
    }
    // The notice stays until the service has let this client in (serviceSaidHello()).
    d->retry->stop();
    d->controlFolder.reset();
}
