// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"
#include "wire/UniqueFd.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// What the filter service's tests share: the service as a real child process, a real client of
// its control socket, and copies of the probe program under chosen executable names.
namespace FilterdTestSupport {

// A running quilvane-filterd with its standard error in a file; SIGKILLed when it goes out of scope.
class ServiceProcess final {
public:
    // Starts the service with `arguments` and waits until it says it is listening.
    static std::unique_ptr<ServiceProcess> start(const std::vector<std::string>& arguments,
                                                 const std::string& logPath);
    ~ServiceProcess();

    pid_t pid() const { return m_pid; }
    // Sends `signal` and waits for the exit; returns the wait status.
    int stop(int signal);
    std::string log() const;

private:
    ServiceProcess(pid_t pid, std::string logPath)
        : m_pid(pid)
        , m_logPath(std::move(logPath)) {}
    pid_t m_pid;
    std::string m_logPath;
};

// A client of the control socket.
class ControlClient final {
public:
    static std::optional<ControlClient> connect(const std::string& socketPath);
    // Connects with the credentials of another user, which the service reads at connect time.
    // Only the calling thread changes identity, and only while it connects.
    static std::optional<ControlClient> connectAs(const std::string& socketPath, uid_t uid, gid_t gid,
                                                  const std::vector<gid_t>& groups);

    bool sendNames(const std::vector<std::string>& names);
    bool sendRaw(const std::vector<std::uint8_t>& message);
    // Reads records until `match` accepts one or `timeout` passes.
    std::optional<Quilvane::Wire::RecordBuffer>
    waitForRecord(const std::function<bool(const Quilvane::Wire::RecordBuffer&)>& match,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // True when the service closed the connection within `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout);
    int fd() const { return m_fd.get(); }

private:
    explicit ControlClient(Quilvane::Wire::UniqueFd fd)
        : m_fd(std::move(fd)) {}
    Quilvane::Wire::UniqueFd m_fd;
};

// The probe program copied to `directory`/`name`; returns the path.
std::string copyProbe(const std::string& directory, const std::string& name);

struct ProbeResult {
    int exitCode = -1;
    pid_t pid = 0;
};
// Runs the probe: mode is connect4, connect6, udp4 or udp6.
ProbeResult runProbe(const std::string& path, const std::string& mode, std::uint16_t port);

// Who a started program runs as, and with what environment.
struct RunOptions {
    std::optional<uid_t> uid; // with gid and groups; unset: as this process
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::vector<std::string> environment; // empty: this process's
};

// A program running with a pipe on its standard input.
struct StartedProgram {
    pid_t pid = -1;
    Quilvane::Wire::UniqueFd input;
    // Sends a line, closes the pipe and returns the exit status (-1 when it did not exit).
    int finish();
};
StartedProgram startProgram(const std::vector<std::string>& argv, const RunOptions& options = {});
ProbeResult runProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// A user made with useradd for one test and removed with userdel when it goes.
class TemporaryUser final {
public:
    // With `primaryGroup`, the user's group is that existing group, so its gid differs from its uid.
    static std::unique_ptr<TemporaryUser> create(const std::string& name, const std::string& primaryGroup = {});
    ~TemporaryUser();
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }

private:
    TemporaryUser(std::string name, uid_t uid, gid_t gid)
        : m_name(std::move(name))
        , m_uid(uid)
        , m_gid(gid) {}
    std::string m_name;
    uid_t m_uid;
    gid_t m_gid;
};

// A loopback TCP listener (IPv4 or IPv6) on an ephemeral port.
struct Listener {
    Quilvane::Wire::UniqueFd fd;
    std::uint16_t port = 0;
};
Listener listenOnLoopback(int family, int type);

// The peer port of a record in host order and its family byte.
std::uint8_t recordFamily(const Quilvane::Wire::RecordBuffer& record);

std::string serviceBinary();
std::string probeBinary();
// Runs a program in a network namespace of its own with a DNS server that answers from a table.
std::string dnsNamespaceBinary();

// Runs `body` in a forked child that dies with the test, its standard output and error appended
// to `logPath`; the child ends when `body` returns. Returns the child's pid, -1 when fork failed.
pid_t spawnLogged(const std::string& logPath, const std::function<void()>& body);

// Returns true for root with the BPF syscall available; otherwise sets `why`.
bool canUseBpf(std::string& why);

// A 24-byte outgoing-connection record whose pid byte carries `tag`, to tell records apart in order.
inline std::array<std::uint8_t, 24> taggedRecord(std::uint8_t tag) {
    std::array<std::uint8_t, 24> bytes{};
    bytes[0] = 1;
    bytes[4] = tag;
    return bytes;
}

} // namespace FilterdTestSupport
