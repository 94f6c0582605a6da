// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"

#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A stand-in for the filter service in tests: it listens on the control socket in a temporary
// folder (and points $QUILVANE_CONTROL_DIR there while it lives), accepts every client (or, told to
// refuse, closes each at once as the service does with a user it does not let in), answers a hello
// as the service does, records every command it receives and sends the records a test asks for. It runs a
// thread of its own, so it works whether or not the test is spinning the Qt event loop.
//
//   FakeKextFilter filter;                  // listening at once
//   KextClient client;                      // connects to it
//   filter.waitForClients(1);
//   client.updateBlacklist(&blacklist);
//   filter.waitForCommands(1);
//   filter.commands()[0].payload            // the bytes that were sent
//   filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "93.184.216.34", 443));
class FakeKextFilter final {
public:
    // One command as the filter received it: setsockopt's level, option and payload.
    struct Command {
        std::int32_t level = 0;
        std::int32_t option = 0;
        std::vector<std::uint8_t> payload;
    };

    enum class Start { listening, deferred };

    // Creates the temporary folder and sets $QUILVANE_CONTROL_DIR to it; listens unless deferred.
    explicit FakeKextFilter(Start start = Start::listening);
    // Closes every client and the listening socket, and restores $QUILVANE_CONTROL_DIR.
    ~FakeKextFilter();
    FakeKextFilter(const FakeKextFilter&) = delete;
    FakeKextFilter& operator=(const FakeKextFilter&) = delete;

    // Creates the control socket and starts accepting; false when that fails.
    bool listen();
    // The filter stops as a service does: its clients see the end of the stream and the socket
    // goes away. listen() starts it again in the same folder; what it received is kept.
    void stop();

    // The folder that $QUILVANE_CONTROL_DIR names, and the socket inside it.
    std::string controlDirectory() const;
    std::string socketPath() const;

    // Clients connected now, and clients accepted since the start.
    int clientCount() const;
    int acceptedCount() const;
    bool waitForClients(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Every command received so far, in order of arrival.
    std::vector<Command> commands() const;
    // The payload of every hello received so far (not commands: a client sends one on connecting).
    std::vector<std::vector<std::uint8_t>> hellos() const;
    bool waitForCommands(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Sends one message to every connected client; the number of clients that got it. A client
    // that does not read within a few seconds is skipped.
    int sendRecord(const void* data, std::size_t length);
    int sendRecord(const std::vector<std::uint8_t>& bytes) { return sendRecord(bytes.data(), bytes.size()); }

    // The filter goes away for its clients: they see the end of the stream. Listening goes on.
    void disconnectClients();

    // While true, every new client is closed as soon as it is accepted.
    void setRefusing(bool refusing);

    // A record as the filter service writes it: `address` is IPv4 or IPv6 text (24 or 36 bytes).
    // Any command value may be given, to test how clients treat unknown ones.
    static std::vector<std::uint8_t> record(std::uint32_t command, std::int32_t pid,
                                            const std::string& address, std::uint16_t port);
    // The same record followed by the service's identity extension (user id, program, script, and
    // the host name the program looked up: version 2 of the extension when there is one).
    static std::vector<std::uint8_t> extendedRecord(std::uint32_t command, std::int32_t pid,
                                                    const std::string& address, std::uint16_t port,
                                                    std::uint32_t uid, const std::string& executable,
                                                    const std::string& script = {},
                                                    const std::string& host = {});

private:
    void run();
    void accept();
    void receive(int fd);
    void wake();

    QTemporaryDir m_directory;
    QByteArray m_previousControlDir;
    bool m_hadControlDir = false;
    int m_listener = -1;
    int m_wake = -1;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<int> m_clients;
    std::vector<int> m_closing;
    int m_accepted = 0;
    bool m_stopping = false;
    bool m_refusing = false;
    std::vector<Command> m_commands;
    std::vector<std::vector<std::uint8_t>> m_hellos;
    std::map<int, std::vector<std::uint8_t>> m_listParts; // by client, until its final message
};
