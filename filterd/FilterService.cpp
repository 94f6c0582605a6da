// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/FilterService.h"

#include "filterd/Log.h"
#include "filterd/config/ServiceConfig.h"
#include "filterd/simulator/SimulatedTraffic.h"
#include "wire/ControlPath.h"

#ifdef QUILVANE_FILTERD_HAVE_BPF
#include "filterd/bpf/BpfFilter.h"
#endif

#include <cerrno>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace Filterd {
namespace {

constexpr auto kTick = std::chrono::milliseconds(20);
constexpr auto kStatisticsInterval = std::chrono::seconds(60);
constexpr std::uint64_t kBlockedLinesPerSecond = 20;
constexpr const char* kAdminGroup = "quilvane-admin";

std::optional<gid_t> groupId(const std::string& name) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

bool createSystemGroup(const std::string& name) {
    const char* argv[] = {"groupadd", "--system", name.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "groupadd", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        return false;
    }
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

std::unique_ptr<FilterService> FilterService::create(const ServiceOptions& options, std::string& error) {
    std::unique_ptr<FilterService> service(new FilterService(options));
    if (!service->start(error)) {
        return nullptr;
    }
    return service;
}

FilterService::FilterService(ServiceOptions options)
    : m_options(std::move(options)) {}

FilterService::~FilterService() {
    // Clients first: nothing may reach a backend that is going.
    m_server.reset();
    m_backend.reset();
    if (m_signals && m_loop) {
        m_loop->remove(m_signals.get());
    }
}

// `required`: without it only root may connect (the access group); otherwise only root's list is
// the one for every process (the administrators' group).
std::optional<gid_t> FilterService::resolveGroup(const std::string& name, bool required) {
    auto gid = groupId(name);
    if (!gid && ::geteuid() == 0 && !m_options.simulate) {
        if (createSystemGroup(name)) {
            Log::line("created the system group " + name);
        }
        gid = groupId(name);
    }
    // A simulation is a demonstration run by anyone: its own user is all it needs.
    if (!gid && !m_options.simulate) {
        Log::line("the group " + name + " does not exist; only " +
                  std::string(::geteuid() == 0 ? "root" : "this user") +
                  (required ? " may connect" : " sends the list for every process"));
    }
    return gid;
}

bool FilterService::start(std::string& error) {
    m_loop = EventLoop::create();
    if (!m_loop) {
        error = "cannot create the event loop";
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    m_signals.reset(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!m_signals || !m_loop->add(m_signals.get(), EPOLLIN, [this](std::uint32_t) { onSignal(); })) {
        error = "cannot watch for signals";
        return false;
    }

    EventSink sink = [this](const ConnectionEvent& event) {
        onEvent(event);
    };
    if (m_options.simulate) {
        SimulatedTraffic::Options simulation;
        simulation.syntheticRate = m_options.rate;
        m_backend = SimulatedTraffic::create(*m_loop, simulation, std::move(sink), error);
    } else {
#ifdef QUILVANE_FILTERD_HAVE_BPF
        BpfFilter::Options bpf;
        bpf.pinDirectory = m_options.pinDirectory;
        bpf.cgroupPath = m_options.cgroupPath;
        m_backend = BpfFilter::create(*m_loop, bpf, std::move(sink), error);
#else
        error = "this build has no eBPF support; run with --simulate";
#endif
    }
    if (!m_backend) {
        return false;
    }

    watchUsers();
    // The administrator's list files are in force before any client can connect.
    startListFilesAndJournal();
    m_backend->waitUntilApplied();

    ControlServer::Options control;
    control.directory = m_options.controlDirectory;
    control.socketName = Quilvane::Wire::kControlName;
    control.group = resolveGroup(m_options.group, true);
    control.adminGroup = resolveGroup(kAdminGroup, false);
    control.queueCapacity = m_options.queueCapacity;
    auto handler = [this](const ControlServer::CommandSender& sender, const BlockListCommand& command,
                          std::string& why) {
        if (sender.admin) {
            return replaceMachineList(command.names(), why, command.ticket());
        }
        return m_backend->replaceBlockList(sender.uid, command, why);
    };
    m_server =
        ControlServer::create(*m_loop, control, PeerPolicy(::geteuid(), control.group), handler, error);
    if (!m_server) {
        return false;
    }
    // The kernel's lists are applied on a worker thread; their senders hear of it on the loop's.
    m_backend->setListApplied(
        [this, loopThread = std::this_thread::get_id()](const FilterBackend::ListOutcome& outcome) {
            if (std::this_thread::get_id() == loopThread) {
                m_server->listApplied(outcome); // applied at once, before its sender is told it waits
                return;
            }
            m_loop->post([this, outcome] {
                if (m_server) {
                    m_server->listApplied(outcome);
                }
            });
        });
    m_loop->addIdleHandler([this] { onIdle(); });
    m_lastStatistics = std::chrono::steady_clock::now();
    Log::line(std::string("listening on ") + m_server->socketPath() +
              (m_options.simulate               ? " (simulated traffic)"
               : m_options.pinDirectory.empty() ? " (eBPF, nothing pinned)"
                                                : " (eBPF, pinned in " + m_options.pinDirectory + ")"));
    return true;
}

void FilterService::startListFilesAndJournal() {
    const ServiceConfig config = ServiceConfig::read(m_options.configFile);
    for (const std::string& problem : config.problems) {
        Log::line("settings: " + problem);
    }
    if (m_options.journal.value_or(config.journal)) {
        m_journal =
            std::make_unique<JournalWriter>(JournalWriter::Options{.ratePerSecond = config.journalRate});
        Log::line("writing connections to the systemd journal (at most " +
                  std::to_string(config.journalRate) + " entries a second)");
    }
    m_listFiles = AdministratorLists::create(*m_loop, m_options.listsDirectory,
                                             [this](const std::vector<std::string>& names) {
                                                 m_machineList.setFileNames(names);
                                                 std::string why;
                                                 if (!replaceMachineList(m_machineList.clientNames(), why)) {
                                                     Log::line("the list files are not applied: " + why);
                                                 }
                                             });
}

// The list for every process is the union of the list files and the administrators' client list;
// a refused union keeps both the list in force and the client list it was built from.
bool FilterService::replaceMachineList(std::vector<std::string> clientNames, std::string& why,
                                       std::uint64_t ticket) {
    MachineList candidate = m_machineList;
    candidate.setClientNames(std::move(clientNames));
    BlockListCommand combined = candidate.combined();
    combined.setTicket(ticket); // the sender hears when the union is in force
    if (!combined.valid()) {
        why = combined.error();
        return false;
    }
    if (!m_backend->replaceBlockList(kEveryone, combined, why)) {
        return false;
    }
    m_machineList = std::move(candidate);
    return true;
}

// useradd and userdel replace /etc/passwd by renaming a new file over it.
void FilterService::watchUsers() {
    m_userWatch.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_userWatch || ::inotify_add_watch(m_userWatch.get(), "/etc", IN_MOVED_TO | IN_CLOSE_WRITE) < 0 ||
        !m_loop->add(m_userWatch.get(), EPOLLIN, [this](std::uint32_t) { onUsersFolderChanged(); })) {
        Log::error("cannot watch /etc/passwd; lists of deleted users are removed at the next start", errno);
        m_userWatch.reset();
    }
}

void FilterService::onUsersFolderChanged() {
    alignas(inotify_event) char buffer[4096];
    bool passwdChanged = false;
    for (;;) {
        const ssize_t length = ::read(m_userWatch.get(), buffer, sizeof buffer);
        if (length <= 0) {
            break;
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            passwdChanged = passwdChanged || (event->len > 0 && std::strcmp(event->name, "passwd") == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (passwdChanged) {
        m_backend->usersChanged();
    }
}

void FilterService::onEvent(const ConnectionEvent& event) {
    if (event.blocked) {
        ++m_blockedAttempts;
        logBlocked(event);
    } else if (m_options.verbose) {
        Log::line(
            std::string(event.direction == ConnectionEvent::Direction::incoming ? "incoming " : "outgoing ") +
            event.peerText() + " pid " + std::to_string(event.pid) + " (" + event.exe + ")");
    }
    if (!m_server) {
        return;
    }
    if (m_journal) {
        m_journal->submit(event);
    }
    Quilvane::Wire::RecordBuffer record;
    const std::size_t length = event.toRecord(record);
    if (length == 0) {
        return;
    }
    if (event.host.empty()) {
        m_server->deliver(std::span(record).first(length), event.uid);
        return;
    }
    Quilvane::Wire::RecordBuffer withHost;
    const std::size_t withHostLength = event.toRecord(withHost, true);
    m_server->deliver(std::span(record).first(length), std::span(withHost).first(withHostLength), event.uid);
}

void FilterService::logBlocked(const ConnectionEvent& event) {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_blockedWindow >= std::chrono::seconds(1)) {
        m_blockedWindow = now;
        m_blockedLogged = 0;
    }
    if (++m_blockedLogged <= kBlockedLinesPerSecond) {
        Log::line("blocked " + event.exe + " (pid " + std::to_string(event.pid) + ") from " +
                  event.peerText());
    }
}

void FilterService::onIdle() {
    m_backend->poll();
    m_server->flush();
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastStatistics >= kStatisticsInterval) {
        m_lastStatistics = now;
        const std::string line = m_backend->statistics() + ", records dropped for slow clients " +
                                 std::to_string(m_server->droppedRecords()) + ", refused attempts " +
                                 std::to_string(m_blockedAttempts) +
                                 (m_journal ? "; " + m_journal->statistics() : std::string());
        if (line != m_lastStatisticsLine) {
            Log::line(line);
            m_lastStatisticsLine = line;
        }
    }
}

void FilterService::onSignal() {
    signalfd_siginfo info{};
    while (::read(m_signals.get(), &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGHUP) {
            continue; // nothing to reload
        }
        Log::line(std::string("stopping on ") + ::strsignal(static_cast<int>(info.ssi_signo)));
        m_loop->stop();
    }
}

int FilterService::run() {
    m_loop->run(kTick);
    m_backend->poll();
    m_server->flush();
    Log::line(m_backend->statistics() + ", records dropped for slow clients " +
              std::to_string(m_server->droppedRecords()) + ", refused attempts " +
              std::to_string(m_blockedAttempts));
    if (!m_options.simulate && !m_options.pinDirectory.empty()) {
        Log::line("the block list stays in force until the next start (quilvane-filterd --unload ends it)");
    }
    return 0;
}

} // namespace Filterd
