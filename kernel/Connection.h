// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <ctime>
#include <memory>

class Connection;
using ConnectionPtr = std::shared_ptr<const Connection>;

// One connection as the user sees it: when it was seen (the locale's medium time style, no date),
// the peer's host name (or numeric address, or empty when the look-up failed), where that name came
// from, and the port as plain decimal text. Immutable; built on any thread, read on any thread after it has
// been handed over. Texts that repeat (the same second, host or port) share their storage, which keeps a busy
// monitor's memory low.
class Connection final {
public:
    // Where the host name came from, best first. The program's own name is the one it looked up and
    // connected to; a reverse look-up gives whatever the address's owner registered.
    enum class HostOrigin {
        address,       // no name is known: the numeric address, or nothing
        program,       // the name this process looked up for the address
        application,   // the name another process of the same application looked up for it
        reverseLookup, // the address's reverse (PTR) name
    };

    // `time` is taken now, in the current locale and time zone.
    static ConnectionPtr initWithHostname(const QString& hostname, int port,
                                          HostOrigin origin = HostOrigin::address);

    // A moment in the same style as time(): the current locale's medium time, in the current zone.
    static QString timeString(std::time_t when);

    const QString& time() const { return m_time; }
    const QString& hostname() const { return m_hostname; }
    const QString& port() const { return m_port; }
    HostOrigin hostOrigin() const { return m_hostOrigin; }

    Connection(QString time, QString hostname, QString port, HostOrigin origin = HostOrigin::address);

private:
    QString m_time;
    QString m_hostname;
    QString m_port;
    HostOrigin m_hostOrigin;
};
