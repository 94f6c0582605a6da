// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/filterd/FilterdTestSupport.h"

#include "filterd/bpf/BpfPaths.h"
#include "wire/KextCommandFrame.h"
#include "wire/LocalSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace FilterdTestSupport {

using Quilvane::Wire::UniqueFd;
using namespace std::chrono_literals;

std::string serviceBinary() {
    return QUILVANE_FILTERD_BINARY;
}

std::string probeBinary() {
    return QUILVANE_FILTERD_PROBE;
}

std::string dnsNamespaceBinary() {
    return QUILVANE_DNS_NAMESPACE;
}

pid_t spawnLogged(const std::string& logPath, const std::function<void()>& body) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ::dup2(log, STDERR_FILENO);
        ::dup2(log, STDOUT_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // A test that dies takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(1);
        }
        body();
        ::_exit(127);
    }
    return pid;
}

std::unique_ptr<ServiceProcess> ServiceProcess::start(const std::vector<std::string>& arguments,
                                                      const std::string& logPath) {
    std::vector<std::string> args = {serviceBinary()};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    // The log may hold earlier runs; only a line written after this start counts.
    std::error_code noLog;
    const auto existing = std::filesystem::file_size(logPath, noLog);
    const std::size_t logStart = noLog ? 0 : static_cast<std::size_t>(existing);
    const pid_t pid = spawnLogged(logPath, [&] { ::execv(argv[0], argv.data()); });
    if (pid < 0) {
        return nullptr;
    }
    std::unique_ptr<ServiceProcess> process(new ServiceProcess(pid, logPath));
    // A start that fails is the calling test's failure, with the service's own words.
    const auto failed = [&](const char* how) {
        ADD_FAILURE() << "quilvane-filterd " << how << "; its log:\n" << process->log().substr(logStart);
        return nullptr;
    };
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process->log().find("listening on", logStart) != std::string::npos) {
            return process;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            process->m_pid = -1;
            return failed("exited before it listened");
        }
        std::this_thread::sleep_for(20ms);
    }
    return failed("did not listen within 15 s");
}

ServiceProcess::~ServiceProcess() {
    if (m_pid > 0) {
        stop(SIGKILL);
    }
}

int ServiceProcess::stop(int signal) {
    int status = -1;
    if (m_pid > 0) {
        ::kill(m_pid, signal);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    return status;
}

std::string ServiceProcess::log() const {
    std::ifstream file(m_logPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<ControlClient> ControlClient::connect(const std::string& socketPath) {
    UniqueFd fd = Quilvane::Wire::LocalSocket::createSeqpacket();
    if (!fd || !Quilvane::Wire::LocalSocket::connectTo(fd.get(), socketPath)) {
        return std::nullopt;
    }
    return ControlClient(std::move(fd));
}

std::optional<ControlClient> ControlClient::connectAs(const std::string& socketPath, uid_t uid, gid_t gid,
                                                      const std::vector<gid_t>& groups) {
    // Raw system calls change this thread alone (the C library would change every thread); the
    // saved ids stay root's, so the thread can come back.
    std::vector<gid_t> ownGroups(static_cast<std::size_t>(::getgroups(0, nullptr)));
    ::getgroups(static_cast<int>(ownGroups.size()), ownGroups.data());
    if (::syscall(SYS_setgroups, groups.size(), groups.data()) != 0 ||
        ::syscall(SYS_setresgid, gid, gid, 0) != 0 || ::syscall(SYS_setresuid, uid, uid, 0) != 0) {
        return std::nullopt;
    }
    auto client = connect(socketPath);
    ::syscall(SYS_setresuid, 0, 0, 0);
    ::syscall(SYS_setresgid, 0, 0, 0);
    ::syscall(SYS_setgroups, ownGroups.size(), ownGroups.data());
    return client;
}

bool ControlClient::sendNames(const std::vector<std::string>& names) {
    using namespace Quilvane::Wire;
    const auto payload = encodeProcessNames(names).value_or(std::vector<std::uint8_t>{});
    const auto messages = frameBlockList(payload);
    return messages && std::all_of(messages->begin(), messages->end(),
                                   [this](const auto& message) { return sendRaw(message); });
}

bool ControlClient::sendRaw(const std::vector<std::uint8_t>& message) {
    return ::send(m_fd.get(), message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
}

std::optional<Quilvane::Wire::RecordBuffer>
ControlClient::waitForRecord(const std::function<bool(const Quilvane::Wire::RecordBuffer&)>& match,
                             std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{m_fd.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        Quilvane::Wire::RecordBuffer record{};
        const ssize_t n = ::recv(m_fd.get(), record.data(), record.size(), MSG_DONTWAIT);
        if (n == 0) {
            return std::nullopt;
        }
        if (n > 0 && match(record)) {
            return record;
        }
    }
}

bool ControlClient::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{m_fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            std::uint8_t byte[256];
            const ssize_t n = ::recv(m_fd.get(), byte, sizeof byte, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                return true;
            }
        }
    }
    return false;
}

std::string copyProbe(const std::string& directory, const std::string& name) {
    const std::string path = directory + "/" + name;
    std::filesystem::copy_file(probeBinary(), path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec);
    return path;
}

ProbeResult runProbe(const std::string& path, const std::string& mode, std::uint16_t port) {
    return runProgram({path, mode, std::to_string(port)});
}

StartedProgram startProgram(const std::vector<std::string>& arguments, const RunOptions& options) {
    std::vector<std::string> args = arguments;
    std::vector<std::string> environment = options.environment;
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(input[0], STDIN_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (options.uid && (::setgroups(options.groups.size(), options.groups.data()) != 0 ||
                            ::setgid(options.gid) != 0 || ::setuid(*options.uid) != 0)) {
            ::_exit(126);
        }
        if (environment.empty()) {
            ::execv(argv[0], argv.data());
        } else {
            ::execve(argv[0], argv.data(), envp.data());
        }
        ::_exit(127);
    }
    ::close(input[0]);
    StartedProgram program;
    program.pid = pid;
    program.input.reset(input[1]);
    return program;
}

int StartedProgram::finish() {
    if (pid <= 0) {
        return -1;
    }
    // A program that has already ended (cat at the end of its FIFO) has no reader left: the write
    // fails with EPIPE instead of ending the test with SIGPIPE.
    [[maybe_unused]] static const bool pipeSignalIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    [[maybe_unused]] const ssize_t written = ::write(input.get(), "\n", 1);
    input.reset();
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProbeResult runProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    StartedProgram program = startProgram(argv, options);
    ProbeResult result;
    result.pid = program.pid;
    result.exitCode = program.finish();
    return result;
}

std::unique_ptr<TemporaryUser> TemporaryUser::create(const std::string& name, const std::string& primaryGroup) {
    ::system(("userdel " + name + " >/dev/null 2>&1").c_str()); // left by a run that crashed
    const std::string group = primaryGroup.empty() ? std::string() : " -g " + primaryGroup;
    if (::system(("useradd --no-create-home --shell /usr/sbin/nologin" + group + " " + name).c_str()) != 0) {
        return nullptr;
    }
    const passwd* entry = ::getpwnam(name.c_str());
    if (entry == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<TemporaryUser>(new TemporaryUser(name, entry->pw_uid, entry->pw_gid));
}

TemporaryUser::~TemporaryUser() {
    ::system(("userdel " + m_name + " >/dev/null 2>&1").c_str());
}

Listener listenOnLoopback(int family, int type) {
    Listener listener;
    listener.fd.reset(::socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    }
    if (::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (type == SOCK_STREAM && ::listen(listener.fd.get(), 64) != 0)) {
        return {};
    }
    length = sizeof address;
    ::getsockname(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    listener.port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return listener;
}

std::uint8_t recordFamily(const Quilvane::Wire::RecordBuffer& record) {
    return record[9];
}

bool canUseBpf(std::string& why) {
    if (::geteuid() != 0) {
        why = "needs root to load eBPF programs";
        return false;
    }
    if (!Filterd::BpfPaths::cgroup2Mount()) {
        why = "no cgroup v2 hierarchy is mounted";
        return false;
    }
    if (!std::filesystem::exists("/sys/kernel/btf/vmlinux")) {
        why = "the kernel has no BTF (/sys/kernel/btf/vmlinux)";
        return false;
    }
    UniqueFd map(bpf_map_create(BPF_MAP_TYPE_ARRAY, "qv_probe", 4, 4, 1, nullptr));
    if (!map) {
        why = std::string("the bpf() system call is not available: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace FilterdTestSupport
