// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/RecordDecoder.h"

#include "wire/RecordExtension.h"

#include <cstring>

namespace Wire = Quilvane::Wire;
using HostOrigin = Connection::HostOrigin;

namespace {

std::vector<RecordDecoder::Event> withNumericHosts(std::vector<HostNameCache::Dropped> dropped) {
    std::vector<RecordDecoder::Event> events;
    events.reserve(dropped.size());
    for (auto& record : dropped) {
        events.push_back(
            {std::move(record.pending.app),
             Connection::initWithHostname(HostNameCache::numericHost(record.key), record.pending.port)});
    }
    return events;
}

} // namespace

RecordDecoder::RecordDecoder(ProcessAppCache::Factory factory, const HostNameCache::Limits& limits)
    : m_apps(std::move(factory))
    , m_hosts(limits) {}

RecordDecoder::Decoded RecordDecoder::decode(const Wire::RecordBuffer& record, std::size_t length) {
    using Kind = Decoded::Kind;
    const std::uint32_t command = Wire::recordCommand(record);
    if (command > static_cast<std::uint32_t>(Wire::KextCommand::refusedAttempt)) {
        return {};
    }
    // A record without a valid extension is decoded exactly as a plain one.
    const auto identity = Wire::recordExtension(record, length);
    AppPtr app = m_apps.appForPid(Wire::recordPid(record), identity);
    if (!app) {
        return {};
    }
    if (command == static_cast<std::uint32_t>(Wire::KextCommand::refusedAttempt)) {
        return {Kind::refused, std::move(app), nullptr, {}};
    }
    const int port = Wire::recordPort(record);
    const auto address = Wire::recordNativeAddress(record);
    if (!address) {
        // No valid address, so the look-up fails and the host name stays empty.
        return {Kind::connection, std::move(app), Connection::initWithHostname(QString(), port), {}};
    }
    const QByteArray key = HostNameCache::keyFor(*address);
    if (identity && !identity->host.empty()) {
        const QString host = QString::fromStdString(identity->host);
        m_appNames.remember(app->identifierKey(), key, host);
        return {Kind::connection,
                std::move(app),
                Connection::initWithHostname(host, port, HostOrigin::program),
                {}};
    }
    if (const auto host = m_appNames.find(app->identifierKey(), key)) {
        return {Kind::connection,
                std::move(app),
                Connection::initWithHostname(*host, port, HostOrigin::application),
                {}};
    }
    HostNameCache::Wait wait = m_hosts.findOrWait(key, {app, port});
    Decoded decoded;
    decoded.givenUp = withNumericHosts(std::move(wait.dropped));
    if (wait.name) {
        decoded.kind = Kind::connection;
        decoded.connection = Connection::initWithHostname(wait.name->hostname, port, wait.name->origin);
    } else {
        decoded.kind = wait.startWorker ? Kind::mustResolveHost : Kind::awaitingHost;
    }
    decoded.app = std::move(app);
    return decoded;
}

std::vector<RecordDecoder::Event> RecordDecoder::resolveHost(const QByteArray& key) {
    HostNameCache::Name name;
    char host[NI_MAXHOST] = {};
    if (const auto address = HostNameCache::addressFor(key);
        address && m_resolver.load()(reinterpret_cast<const sockaddr*>(&address->storage), address->length,
                                     host, sizeof host, nullptr, 0, 0) == 0) {
        name.hostname = QString::fromUtf8(host, static_cast<qsizetype>(strnlen(host, sizeof host)));
    }
    // Without a name the resolver answers with the numeric form, which is no reverse name.
    if (!name.hostname.isEmpty() && name.hostname != HostNameCache::numericHost(key)) {
        name.origin = HostOrigin::reverseLookup;
    }
    std::vector<Event> ready;
    for (auto& pending : m_hosts.complete(key, name)) {
        ready.push_back(
            {std::move(pending.app), Connection::initWithHostname(name.hostname, pending.port, name.origin)});
    }
    return ready;
}

void RecordDecoder::setNameResolver(Wire::NameResolver resolver) {
    m_resolver = resolver;
    m_hosts.clear();
    m_appNames.clear();
}
