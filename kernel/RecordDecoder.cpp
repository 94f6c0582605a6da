// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/RecordDecoder.h"

#include "wire/RecordExtension.h"

#include <cstring>

namespace Wire = Quilvane::Wire;

RecordDecoder::RecordDecoder(ProcessAppCache::Factory factory)
    : m_apps(std::move(factory)) {}

RecordDecoder::Decoded RecordDecoder::decode(const Wire::RecordBuffer& record, std::size_t length) {
    using Kind = Decoded::Kind;
    const std::uint32_t command = Wire::recordCommand(record);
    if (command > static_cast<std::uint32_t>(Wire::KextCommand::refusedAttempt)) {
        return {};
    }
    // A record without a valid extension is decoded exactly as a plain one.
    AppPtr app = m_apps.appForPid(Wire::recordPid(record), Wire::recordExtension(record, length));
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
    QByteArray key = HostNameCache::keyFor(*address);
    bool mustResolve = false;
    if (auto hostname = m_hosts.findOrWait(key, {app, port}, mustResolve)) {
        return {Kind::connection, std::move(app), Connection::initWithHostname(*hostname, port), {}};
    }
    return {mustResolve ? Kind::mustResolveHost : Kind::awaitingHost, std::move(app), nullptr,
            std::move(key)};
}

std::vector<RecordDecoder::Event> RecordDecoder::resolveHost(const QByteArray& key,
                                                             const Wire::RecordBuffer& record) {
    char host[NI_MAXHOST] = {};
    Wire::recordHostname(record, host, sizeof host, m_resolver.load());
    const QString hostname = QString::fromUtf8(host, static_cast<qsizetype>(strnlen(host, sizeof host)));
    std::vector<Event> ready;
    for (auto& pending : m_hosts.complete(key, hostname)) {
        ready.push_back({std::move(pending.app), Connection::initWithHostname(hostname, pending.port)});
    }
    return ready;
}

void RecordDecoder::setNameResolver(Wire::NameResolver resolver) {
    m_resolver = resolver;
    m_hosts.clear();
}
