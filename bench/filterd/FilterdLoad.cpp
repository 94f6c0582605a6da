// SPDX-License-Identifier: GPL-3.0-or-later
// Load figures of quilvane-filterd (needs root and eBPF):
//   1. loopback TCP connects per second with no service, with the service and an empty list, and
//      with 1,000 names in the list (rounds interleaved, medians and ratios printed);
//   2. what every process of the machine pays: a trivial system call (getppid), fork+exec of a
//      small program, and loopback connect+accept, with no service and with it (ratios), and the
//      kernel's own account of each hook;
//   3. the longest gap in record delivery while one client sends 30 lists of 65,536 names;
//   4. what a watched program pays (--only watched): loopback connects/s, connect() latency, exec ->
//      first connect, TCP stream throughput through the incoming-traffic program, UDP datagrams to
//      1,000 ports, the service's and the reader's CPU per connection, and how soon a lone record
//      arrives; with the service, 1,000 names and a reading client against a cgroup it does not
//      guard, at the same time (exec: against no service), in rounds of alternating order;
//   5. records per second delivered to one and to two clients while a generator makes UDP flows
//      to distinct peers, at a paced rate and flat out, with what was lost and where.
//
//   filterd_load [--seconds S] [--rounds N] [--rate R]
#include "bench/support/MachineDescription.h"
#include "filterd/bpf/BpfPaths.h"
#include "tests/filterd/FilterdTestSupport.h"
#include "wire/ControlPath.h"
#include "wire/KextCommandFrame.h"
#include "wire/KextRecord.h"
#include "wire/LocalSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// The service under test, as the tests start it, in a folder of its own.
struct Service {
    std::unique_ptr<FilterdTestSupport::ServiceProcess> process;
    std::string directory;
    std::string socket;
    std::string log;
};

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

Service startService(const std::vector<std::string>& extra = {}) {
    Service service;
    char pattern[] = "/tmp/quilvane-load-XXXXXX";
    service.directory = ::mkdtemp(pattern);
    service.socket = service.directory + "/" + Quilvane::Wire::kControlName;
    service.log = service.directory + "/filterd.log";
    std::vector<std::string> args = {"--no-pin", "--group",       "root",           "--queue",
                                     "65536",    "--control-dir", service.directory};
    args.insert(args.end(), extra.begin(), extra.end());
    service.process = FilterdTestSupport::ServiceProcess::start(args, service.log);
    if (!service.process) {
        std::fprintf(stderr, "the service did not start:\n%s", readFile(service.log).c_str());
        std::exit(1);
    }
    return service;
}

std::string stopService(Service& service) {
    service.process->stop(SIGTERM);
    const std::string log = readFile(service.log);
    std::remove(service.log.c_str());
    ::rmdir(service.directory.c_str());
    return log;
}

// A raw client descriptor with large buffers: the load loops read and send on it directly.
int connectControl(const std::string& path) {
    namespace LocalSocket = Quilvane::Wire::LocalSocket;
    Quilvane::Wire::UniqueFd fd = LocalSocket::createSeqpacket();
    if (!fd || !LocalSocket::connectTo(fd.get(), path)) {
        std::perror("connect to the control socket");
        std::exit(1);
    }
    const int big = 8 * 1024 * 1024;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
    return fd.release();
}

void sendList(int fd, const std::vector<std::string>& names) {
    using namespace Quilvane::Wire;
    const auto payload = encodeProcessNames(names).value_or(std::vector<std::uint8_t>{});
    for (const auto& message : frameBlockList(payload).value()) {
        ::send(fd, message.data(), message.size(), 0);
    }
    std::this_thread::sleep_for(200ms);
}

// Loopback listener on an ephemeral port, its address filled in.
int loopbackListener(sockaddr_in& address) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 4096);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return listener;
}

// Connects per second to a loopback listener for `seconds`; an accepting thread keeps the backlog
// empty and the RST on close keeps ports out of TIME_WAIT.
double connectRate(double seconds) {
    sockaddr_in address;
    const int listener = loopbackListener(address);
    std::atomic<bool> running = true;
    std::thread acceptor([&] {
        while (running) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                const int fd = ::accept(listener, nullptr, nullptr);
                if (fd >= 0) {
                    ::close(fd);
                }
            }
        }
    });
    const linger reset{1, 0};
    std::uint64_t count = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        for (int i = 0; i < 100; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                ++count;
            }
            ::close(fd);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    running = false;
    acceptor.join();
    ::close(listener);
    return static_cast<double>(count) / elapsed;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One client's records, up to 64 of them read in one call into buffers that are reused from call to
// call.
class RecordBatch {
public:
    // Waits up to 20 ms for records and reads what is there: how many, 0 or less for none.
    int receive(int fd) {
        for (unsigned m = 0; m < kSize; ++m) {
            m_vectors[m] = {m_records[m], sizeof m_records[m]};
            m_messages[m] = {};
            m_messages[m].msg_hdr.msg_iov = &m_vectors[m];
            m_messages[m].msg_hdr.msg_iovlen = 1;
        }
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) > 0 ? ::recvmmsg(fd, m_messages, kSize, MSG_DONTWAIT, nullptr) : 0;
    }
    const std::uint8_t* record(int index) const { return m_records[index]; }

private:
    static constexpr unsigned kSize = 64;
    std::uint8_t m_records[kSize][256];
    iovec m_vectors[kSize];
    mmsghdr m_messages[kSize];
};

struct FloodResult {
    std::uint64_t sent = 0;
    std::vector<std::uint64_t> received;
    double seconds = 0;
};

// UDP datagrams from this process to distinct loopback peers (each a new flow, so each one a
// record), paced at `rate` per second or flat out when it is 0; every client counts this
// process's records.
FloodResult flood(const std::vector<int>& clients, double seconds, double rate) {
    const int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    ::bind(sink, reinterpret_cast<sockaddr*>(&bound), sizeof bound); // 0.0.0.0:ephemeral, never read
    socklen_t length = sizeof bound;
    ::getsockname(sink, reinterpret_cast<sockaddr*>(&bound), &length);

    FloodResult result;
    result.received.assign(clients.size(), 0);
    std::atomic<bool> sending = true;
    std::vector<std::thread> readers;
    const std::int32_t self = ::getpid();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        readers.emplace_back([&, i] {
            RecordBatch batch;
            auto quietSince = Clock::now();
            for (;;) {
                const int got = batch.receive(clients[i]);
                if (got > 0) {
                    for (int m = 0; m < got; ++m) {
                        std::int32_t pid = 0;
                        std::memcpy(&pid, batch.record(m) + 4, sizeof pid);
                        result.received[i] += pid == self || self == 0;
                    }
                    quietSince = Clock::now();
                } else if (!sending && Clock::now() - quietSince > 500ms) {
                    return;
                }
            }
        });
    }

    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = bound.sin_port;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::uint32_t peer = 0;
    while (Clock::now() < end) {
        for (int i = 0; i < 64; ++i) {
            // 127.0.0.2 upwards, one new peer per datagram.
            to.sin_addr.s_addr = htonl(0x7f000002u + (peer++ % 0x00fffff0u));
            if (::sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 1) {
                ++result.sent;
            }
        }
        if (rate > 0) {
            const auto due = start + std::chrono::duration<double>(static_cast<double>(result.sent) / rate);
            std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sending = false;
    for (auto& reader : readers) {
        reader.join();
    }
    ::close(sender);
    ::close(sink);
    return result;
}

// The kernel's own account of one of the service's programs: nanoseconds per run
// (kernel.bpf_stats_enabled).
struct HookStats {
    double nanoseconds = 0;
    double runs = 0;
};
HookStats hookStats(const std::string& program = "quilvane_connect4") {
    HookStats stats;
    FILE* out = ::popen(("bpftool prog show name " + program + " 2>/dev/null").c_str(), "r");
    if (out == nullptr) {
        return stats;
    }
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        const char* at = std::strstr(line, "run_time_ns ");
        unsigned long long ns = 0, runs = 0;
        if (at != nullptr && std::sscanf(at, "run_time_ns %llu run_cnt %llu", &ns, &runs) == 2) {
            stats.nanoseconds += static_cast<double>(ns);
            stats.runs += static_cast<double>(runs);
        }
    }
    ::pclose(out);
    return stats;
}

std::string counter(const std::string& log, const std::string& label) {
    const std::regex pattern(label + " (\\d+)");
    std::smatch match;
    std::string last = "?";
    for (auto it = std::sregex_iterator(log.begin(), log.end(), pattern); it != std::sregex_iterator();
         ++it) {
        last = (*it)[1];
    }
    return last;
}

// Nanoseconds per getppid(), the cheapest system call: what a hook on every system call would tax.
double syscallNanoseconds(double seconds) {
    std::uint64_t calls = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        for (int i = 0; i < 10000; ++i) {
            ::syscall(SYS_getppid);
        }
        calls += 10000;
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(calls);
}

// fork + exec + wait of /bin/true per second: what the process table's tracepoints tax.
double execRate(double seconds) {
    std::uint64_t count = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    while (Clock::now() < end) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::execv(argv[0], argv);
            ::_exit(127);
        }
        ::waitpid(child, nullptr, 0);
        ++count;
    }
    return static_cast<double>(count) / std::chrono::duration<double>(Clock::now() - start).count();
}

struct MachineCost {
    std::vector<double> syscallNs, execs, accepts;
};

void measureMachineCost(MachineCost& cost, double seconds) {
    cost.syscallNs.push_back(syscallNanoseconds(seconds));
    cost.execs.push_back(execRate(seconds));
    cost.accepts.push_back(connectRate(seconds));
}

void runMachineCost(int rounds, double seconds) {
    MachineCost none, with;
    HookStats exec, fork, exit, sockops, bind;
    for (int round = 0; round < rounds; ++round) {
        measureMachineCost(none, seconds);
        Service service = startService();
        const int control = connectControl(service.socket);
        std::thread drain([control] {
            std::uint8_t record[1024];
            while (::recv(control, record, sizeof record, 0) > 0) {
            }
        });
        const HookStats before[] = {hookStats("quilvane_exec"), hookStats("quilvane_fork"),
                                    hookStats("quilvane_exit"), hookStats("quilvane_sockops"),
                                    hookStats("quilvane_post_bind4")};
        measureMachineCost(with, seconds);
        HookStats* totals[] = {&exec, &fork, &exit, &sockops, &bind};
        const char* names[] = {"quilvane_exec", "quilvane_fork", "quilvane_exit", "quilvane_sockops",
                               "quilvane_post_bind4"};
        for (int i = 0; i < 5; ++i) {
            const HookStats after = hookStats(names[i]);
            totals[i]->nanoseconds += after.nanoseconds - before[i].nanoseconds;
            totals[i]->runs += after.runs - before[i].runs;
        }
        ::shutdown(control, SHUT_RDWR);
        drain.join();
        ::close(control);
        stopService(service);
    }
    const auto line = [](const char* what, const std::vector<double>& without,
                         const std::vector<double>& withService, const char* unit) {
        const double a = median(without);
        const double b = median(withService);
        std::printf("  %-28s %10.1f %-9s with the service %10.1f  ratio %.3f\n", what, a, unit, b, b / a);
    };
    std::printf("\nwhat every process pays (median of %d interleaved rounds of %.0f s):\n", rounds, seconds);
    line("getppid()", none.syscallNs, with.syscallNs, "ns/call");
    line("fork+exec of /bin/true", none.execs, with.execs, "per s");
    line("loopback connect+accept", none.accepts, with.accepts, "per s");
    const auto hook = [](const char* what, const HookStats& stats) {
        std::printf("  %-28s %6.0f ns per run (%.0f runs)\n", what,
                    stats.runs > 0 ? stats.nanoseconds / stats.runs : 0, stats.runs);
    };
    std::printf("hooks, measured by the kernel while those loops ran:\n");
    hook("exec tracepoint", exec);
    hook("fork tracepoint", fork);
    hook("exit tracepoint", exit);
    hook("sock_ops (passive established)", sockops);
    hook("post_bind4", bind);
}

// The service's own CPU time (user + system, all threads) from /proc, in seconds.
double serviceCpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// What writing every connection to the journal costs the service: its CPU per loopback connection
// (an outgoing and an incoming record each, delivered to a client as always) with --journal and
// without, in interleaved rounds. The rate limit is set out of reach so that every entry is written.
void runJournalCost(int rounds, double seconds) {
    if (::access("/run/systemd/journal/socket", F_OK) != 0) {
        std::printf("\njournal: no journald listens on /run/systemd/journal/socket; start one "
                    "(mkdir -p /run/systemd/journal && /lib/systemd/systemd-journald &)\n");
        return;
    }
    char pattern[] = "/tmp/quilvane-load-conf-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    const std::string config = folder + "/filterd.conf";
    std::ofstream(config) << "journal_rate = 10000000\n";
    std::vector<double> off, on;
    for (int round = 0; round < rounds; ++round) {
        for (const bool journal : {false, true}) {
            Service service = startService({"--config", config, "--lists-dir", folder + "/none",
                                            journal ? "--journal" : "--no-journal"});
            const int control = connectControl(service.socket);
            std::thread drain([control] {
                std::uint8_t record[1024];
                while (::recv(control, record, sizeof record, 0) > 0) {
                }
            });
            const double before = serviceCpuSeconds(service.process->pid());
            const double connections = connectRate(seconds) * seconds;
            // Let the journal's thread finish what is queued before the service's time is read.
            std::this_thread::sleep_for(500ms);
            const double after = serviceCpuSeconds(service.process->pid());
            (journal ? on : off).push_back((after - before) * 1e6 / connections);
            ::shutdown(control, SHUT_RDWR);
            drain.join();
            ::close(control);
            stopService(service);
        }
    }
    std::remove(config.c_str());
    ::rmdir(folder.c_str());
    std::printf("\nthe service's CPU per loopback connection (median of %d interleaved rounds of %.0f s):\n",
                rounds, seconds);
    std::printf("  journal off %8.2f us   journal on %8.2f us   ratio %.2f\n", median(off), median(on),
                median(on) / median(off));
}

// The longest time between two records reaching a client while another client sends `commands`
// full-size lists: building a list must not hold up delivery.
void runDeliveryGap(int commands) {
    Service service = startService();
    const int reader = connectControl(service.socket);
    const int sender = connectControl(service.socket);
    std::atomic<bool> running = true;
    std::atomic<std::int64_t> longestGapUs = 0;
    std::atomic<std::uint64_t> records = 0;
    // The generator and the watcher run at real-time priority, so that the gap they see is the
    // service's and not their own wait for a CPU while the sender and the service build lists.
    const auto urgent = [] {
        sched_param priority{};
        priority.sched_priority = 10;
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
    };
    std::thread watch([&] {
        urgent();
        RecordBatch batch;
        auto last = Clock::now();
        while (running) {
            const int got = batch.receive(reader);
            const auto now = Clock::now();
            if (got > 0) {
                const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
                longestGapUs = std::max<std::int64_t>(longestGapUs, gap);
                last = now;
                records += static_cast<std::uint64_t>(got);
            }
        }
    });
    // A steady stream of records: one new UDP flow every half millisecond.
    std::thread generator([&] {
        urgent();
        const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        std::uint32_t peer = 0;
        while (running) {
            to.sin_addr.s_addr = htonl(0x7f000002u + (peer++ % 0x00fffff0u));
            ::sendto(udp, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(500us);
        }
        ::close(udp);
    });
    // Built before anything is measured: the sender's own work is not the service's.
    std::vector<std::vector<std::uint8_t>> messages;
    for (int c = 0; c < commands; ++c) {
        std::vector<std::string> names;
        names.reserve(65536);
        for (int i = 0; i < 65536; ++i) {
            names.push_back("g" + std::to_string(c) + "-" + std::to_string(i));
        }
        using namespace Quilvane::Wire;
        const auto payload = encodeProcessNames(names);
        messages.push_back(
            frameCommand(kSysprotoControl, kBlockListOption, payload->data(), payload->size()));
    }
    std::this_thread::sleep_for(500ms);
    // The same stream without commands first: what the machine's own scheduling costs.
    longestGapUs = 0;
    std::this_thread::sleep_for(2s);
    const double quietGapMs = static_cast<double>(longestGapUs.load()) / 1000.0;
    longestGapUs = 0;
    const auto start = Clock::now();
    for (const auto& message : messages) {
        ::send(sender, message.data(), message.size(), 0);
    }
    const double sending = std::chrono::duration<double>(Clock::now() - start).count();
    // Until every command was read and the log has ended on a list in force for a while.
    const auto countOf = [](const std::string& log, const std::string& what) {
        std::size_t n = 0;
        for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    const auto deadline = Clock::now() + 120s;
    std::size_t applied = 0;
    std::string previous;
    auto stableSince = Clock::now();
    auto finished = Clock::now();
    while (Clock::now() < deadline) {
        const std::string log = readFile(service.log);
        if (log != previous) {
            previous = log;
            stableSince = Clock::now();
        }
        applied = countOf(log, "is in force");
        if (countOf(log, "set the block list") >= static_cast<std::size_t>(commands) && applied > 0 &&
            log.rfind("is in force") > log.rfind("set the block list") &&
            Clock::now() - stableSince > 300ms) {
            finished = stableSince;
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    const double total = std::chrono::duration<double>(finished - start).count();
    std::this_thread::sleep_for(200ms);
    running = false;
    generator.join();
    watch.join();
    ::close(sender);
    ::close(reader);
    stopService(service);
    std::printf("\n%d lists of 65,536 names from one client: sent in %.2f s, the last in force after %.2f s "
                "(%zu built; a newer list replaces one still waiting)\n",
                commands, sending, total, applied);
    std::printf("  longest gap between records meanwhile: %.1f ms; in 2 s without commands before: %.1f ms "
                "(one record every 0.5 ms sent; %llu read)\n",
                static_cast<double>(longestGapUs.load()) / 1000.0, quietGapMs,
                static_cast<unsigned long long>(records.load()));
}

// Connects per second with no service, an empty list and 1,000 names, and the connect4 hook's cost.
void runConnects(int rounds, double seconds) {
    // Names that nobody runs, so the list costs a lookup but blocks nothing.
    std::vector<std::string> thousand;
    for (int i = 0; i < 1000; ++i) {
        thousand.push_back("quilvane-load-name-" + std::to_string(i));
    }
    std::vector<double> none, empty, full;
    HookStats emptyHook, fullHook;
    const auto measure = [&](int control, const std::vector<std::string>& names, std::vector<double>& rates,
                             HookStats& hook) {
        sendList(control, names);
        const HookStats before = hookStats();
        rates.push_back(connectRate(seconds));
        const HookStats after = hookStats();
        hook.nanoseconds += after.nanoseconds - before.nanoseconds;
        hook.runs += after.runs - before.runs;
    };
    for (int round = 0; round < rounds; ++round) {
        none.push_back(connectRate(seconds));
        Service service = startService();
        const int control = connectControl(service.socket);
        std::thread drain([control] {
            std::uint8_t record[256];
            while (::recv(control, record, sizeof record, 0) > 0) {
            }
        });
        // Alternate the order, so that neither configuration always runs on a warmer machine.
        if (round % 2 == 0) {
            measure(control, {}, empty, emptyHook);
            measure(control, thousand, full, fullHook);
        } else {
            measure(control, thousand, full, fullHook);
            measure(control, {}, empty, emptyHook);
        }
        ::shutdown(control, SHUT_RDWR);
        drain.join();
        ::close(control);
        stopService(service);
    }
    const double base = median(none);
    const double connectNs = 1e9 / base;
    std::printf(
        "\nloopback TCP connects/s (median of %d interleaved rounds of %.0f s, one reading client):\n",
        rounds, seconds);
    std::printf("  no service          %9.0f\n", base);
    std::printf("  service, empty list %9.0f  ratio %.3f\n", median(empty), median(empty) / base);
    std::printf("  service, 1000 names %9.0f  ratio %.3f\n", median(full), median(full) / base);
    const double emptyNs = emptyHook.runs > 0 ? emptyHook.nanoseconds / emptyHook.runs : 0;
    const double fullNs = fullHook.runs > 0 ? fullHook.nanoseconds / fullHook.runs : 0;
    std::printf("connect4 hook, measured by the kernel: %.0f ns per call with an empty list, %.0f ns with "
                "1000 names;\n"
                "  against %.0f ns per connect without the service: overhead %.1f %% and %.1f %%\n",
                emptyNs, fullNs, connectNs, 100 * emptyNs / connectNs, 100 * fullNs / connectNs);
}

// Microseconds each connect() call takes, for `count` connects to a loopback listener.
std::vector<double> connectLatencies(int count) {
    sockaddr_in address;
    const int listener = loopbackListener(address);
    const linger reset{1, 0};
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        const auto start = Clock::now();
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        ::close(fd);
        if (i % 512 == 511) { // keep the backlog from filling
            while (true) {
                pollfd p{listener, POLLIN, 0};
                if (::poll(&p, 1, 0) <= 0) {
                    break;
                }
                ::close(::accept(listener, nullptr, nullptr));
            }
        }
    }
    ::close(listener);
    return latencies;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

// MB/s through one loopback TCP connection for `seconds`.
double tcpStreamRate(double seconds) {
    sockaddr_in address;
    const int listener = loopbackListener(address);
    std::thread reader([listener] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(256 * 1024);
        while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
        }
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::vector<char> chunk(64 * 1024, 'x');
    std::uint64_t sent = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        sent += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    reader.join();
    ::close(listener);
    return static_cast<double>(sent) / elapsed / 1e6;
}

// Datagrams per second from one socket to 1,000 bound loopback ports in turn, for `seconds`.
double udpRate(double seconds) {
    std::vector<int> receivers;
    std::vector<sockaddr_in> ports;
    for (int i = 0; i < 1000; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        receivers.push_back(fd);
        ports.push_back(address);
    }
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const char byte = 'x';
    std::uint64_t sent = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        for (const sockaddr_in& port : ports) {
            sent += ::sendto(sender, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&port), sizeof port) == 1;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(sender);
    for (const int fd : receivers) {
        ::close(fd);
    }
    return static_cast<double>(sent) / elapsed;
}

// Two sibling cgroups: the service guards the first only, so the same loops run watched and bare a
// moment apart, on the same machine, with the service and its reading client running throughout.
class CgroupArms {
public:
    CgroupArms() {
        m_root = Filterd::BpfPaths::cgroup2Mount().value_or("/sys/fs/cgroup");
        const std::string tag = std::to_string(::getpid());
        m_watched = m_root + "/quilvane-load-watched-" + tag;
        m_bare = m_root + "/quilvane-load-bare-" + tag;
        ::mkdir(m_watched.c_str(), 0755);
        ::mkdir(m_bare.c_str(), 0755);
    }
    ~CgroupArms() {
        enter(m_root);
        ::rmdir(m_watched.c_str());
        ::rmdir(m_bare.c_str());
    }
    const std::string& watched() const { return m_watched; }
    // Moves this process, every thread of it, into `arm`; sockets made from then on are the arm's.
    void enter(const std::string& arm) const { std::ofstream(arm + "/cgroup.procs") << ::getpid(); }
    void enterWatched() const { enter(m_watched); }
    void enterBare() const { enter(m_bare); }

private:
    std::string m_root, m_watched, m_bare;
};

// Reads the service's records as fast as they come, counting them and the CPU time it takes.
class RecordDrain {
public:
    explicit RecordDrain(int control)
        : m_control(control)
        , m_thread([this] { run(); }) {
        ::pthread_getcpuclockid(m_thread.native_handle(), &m_clock);
    }
    ~RecordDrain() {
        ::shutdown(m_control, SHUT_RDWR);
        m_thread.join();
        ::close(m_control);
    }
    std::uint64_t records() const { return m_records.load(); }
    Clock::time_point lastRecord() const { return Clock::time_point(Clock::duration(m_lastRecord.load())); }
    double cpuSeconds() const {
        timespec used{};
        if (::clock_gettime(m_clock, &used) != 0) {
            return 0;
        }
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    }

private:
    void run() {
        Quilvane::Wire::RecordBuffer record;
        while (::recv(m_control, record.data(), record.size(), 0) > 0) {
            m_lastRecord = Clock::now().time_since_epoch().count();
            ++m_records;
        }
    }
    int m_control;
    std::atomic<std::uint64_t> m_records = 0;
    std::atomic<Clock::rep> m_lastRecord = 0;
    std::thread m_thread;
    clockid_t m_clock = CLOCK_THREAD_CPUTIME_ID;
};

// Microseconds from fork to the first connection of the exec'd probe reaching a loopback listener,
// for `count` children one after another.
std::vector<double> execToConnect(int count) {
    sockaddr_in address;
    const int listener = loopbackListener(address);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const std::string probe = FilterdTestSupport::probeBinary();
    std::vector<double> latencies;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const pid_t child = ::fork();
        if (child == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::execl(probe.c_str(), probe.c_str(), "connect4", port.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 5000) == 1) {
            latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            ::close(::accept(listener, nullptr, nullptr));
        }
        ::waitpid(child, nullptr, 0);
    }
    ::close(listener);
    return latencies;
}

// Milliseconds from connect() to its first record at the client, for lone connections 10 ms apart.
std::vector<double> recordDelays(const RecordDrain& drain, int count) {
    sockaddr_in address;
    const int listener = loopbackListener(address);
    std::vector<double> delays;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(10ms);
        const std::uint64_t before = drain.records();
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto start = Clock::now();
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const auto deadline = start + 1s;
        while (drain.records() == before && Clock::now() < deadline) {
            std::this_thread::sleep_for(20us);
        }
        if (drain.records() != before) {
            delays.push_back(std::chrono::duration<double, std::milli>(drain.lastRecord() - start).count());
        }
        ::close(fd);
        ::close(::accept(listener, nullptr, nullptr));
    }
    ::close(listener);
    return delays;
}

// One figure measured in pairs, bare and watched a moment apart in alternating order: the median of
// the pairs' ratios is what the service costs, whatever the machine's speed did meanwhile.
struct PairedFigure {
    const char* label;
    const char* unit;
    std::function<double(bool watched)> measure;
    std::vector<double> bare, watched, ratios;

    void measurePair(const CgroupArms& arms, bool watchedFirst) {
        double without = 0, with = 0;
        for (const bool watchedNow : {watchedFirst, !watchedFirst}) {
            watchedNow ? arms.enterWatched() : arms.enterBare();
            (watchedNow ? with : without) = measure(watchedNow);
        }
        add(without, with);
    }
    void add(double without, double with) {
        bare.push_back(without);
        watched.push_back(with);
        ratios.push_back(with / without);
    }
    void print() const {
        std::printf("  %-34s %10.1f %10.1f  ratio %.3f  (%s)\n", label, median(bare), median(watched),
                    median(ratios), unit);
    }
};

// Each round measures exec -> first connect without the service and with it, then runs every other
// loop in pairs in the cgroup the service guards and in its bare sibling; the service has 1,000
// names and one client that reads every record.
void runWatchedCost(int rounds, double seconds) {
    std::vector<std::string> thousand;
    for (int i = 0; i < 1000; ++i) {
        thousand.push_back("quilvane-load-name-" + std::to_string(i));
    }
    const double slice = seconds / 4;
    const CgroupArms arms;
    std::optional<RecordDrain> drain;
    pid_t servicePid = 0;
    double serviceCpu = 0, readerCpu = 0, connections = 0;
    std::array<std::vector<double>, 2> latencies; // bare, watched: the p99 row reads the median row's runs
    std::vector<PairedFigure> figures = {
        {"loopback connects/s", "higher is better",
         [&](bool watched) {
             const double cpuBefore = serviceCpuSeconds(servicePid);
             const double readerBefore = drain->cpuSeconds();
             const double rate = connectRate(slice);
             if (watched) {
                 serviceCpu += serviceCpuSeconds(servicePid) - cpuBefore;
                 readerCpu += drain->cpuSeconds() - readerBefore;
                 connections += rate * slice;
             }
             return rate;
         }},
        {"connect() median", "µs, lower is better",
         [&](bool watched) {
             return percentile(latencies[watched] = connectLatencies(5000), 0.5);
         }},
        {"connect() p99", "µs, lower is better", {}},
        {"TCP stream (incoming-traffic hook)", "MB/s",
         [&](bool) {
             return tcpStreamRate(slice);
         }},
        {"UDP datagrams to 1000 ports", "per second",
         [&](bool) {
             return udpRate(slice);
         }},
    };
    std::vector<double> execBare, execWatched, delays;
    for (int round = 0; round < rounds; ++round) {
        arms.enterWatched();
        const std::vector<double> bareExecs = execToConnect(200);
        execBare.insert(execBare.end(), bareExecs.begin(), bareExecs.end());
        Service service = startService({"--cgroup", arms.watched()});
        servicePid = service.process->pid();
        const int control = connectControl(service.socket);
        sendList(control, thousand);
        drain.emplace(control);
        const std::vector<double> watchedExecs = execToConnect(200);
        execWatched.insert(execWatched.end(), watchedExecs.begin(), watchedExecs.end());
        for (int pair = 0; pair < 4; ++pair) {
            const bool watchedFirst = (round + pair) % 2 == 0;
            for (PairedFigure& figure : figures) {
                if (figure.measure) {
                    figure.measurePair(arms, watchedFirst);
                }
            }
            figures[2].add(percentile(latencies[0], 0.99), percentile(latencies[1], 0.99));
        }
        arms.enterWatched();
        const std::vector<double> lone = recordDelays(*drain, 50);
        delays.insert(delays.end(), lone.begin(), lone.end());
        drain.reset();
        stopService(service);
    }
    std::printf("\nwhat a watched program pays (medians of %d pairs; with: the service, 1000 names, one "
                "reading client;\nwithout: a cgroup the service does not guard, a moment apart; exec: "
                "no service at all):\n  %-34s %10s %10s\n",
                rounds * 4, "", "without", "with");
    for (const PairedFigure& figure : figures) {
        figure.print();
    }
    for (const double share : {0.5, 0.99}) {
        std::printf(
            "  exec -> first connect %-12s %10.1f %10.1f  ratio %.3f  (µs, lower is better; %zu execs "
            "each)\n",
            share == 0.5 ? "median" : "p99", percentile(execBare, share), percentile(execWatched, share),
            percentile(execWatched, share) / percentile(execBare, share), execBare.size());
    }
    std::printf("  CPU per connection: service %.2f µs, reading client %.2f µs (two records each)\n",
                serviceCpu * 1e6 / connections, readerCpu * 1e6 / connections);
    if (!delays.empty()) {
        std::printf("  connect() -> its record at the client, lone connections: median %.2f ms, p99 %.2f ms "
                    "(%zu)\n",
                    percentile(delays, 0.5), percentile(delays, 0.99), delays.size());
    }
}

void printMachine() {
    std::printf("machine: %s\n", machineDescription().c_str());
}

// Records of the simulator's synthetic traffic: the service's own delivery path, without a
// generator competing for the two cores.
void runSimulated(const char* title, int clientCount, double seconds, double rate) {
    Service service = startService({"--simulate", "--rate", std::to_string(static_cast<long>(rate))});
    std::vector<int> clients;
    for (int i = 0; i < clientCount; ++i) {
        clients.push_back(connectControl(service.socket));
    }
    // The first records include the backlog of start-up; read them away before counting.
    const auto warmUp = Clock::now() + 500ms;
    std::vector<std::uint64_t> received(clients.size(), 0);
    std::vector<std::thread> readers;
    const auto end = warmUp + std::chrono::duration<double>(seconds);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        readers.emplace_back([&, i] {
            RecordBatch batch;
            while (Clock::now() < end) {
                const int got = batch.receive(clients[i]);
                if (got > 0 && Clock::now() >= warmUp) {
                    received[i] += static_cast<std::uint64_t>(got);
                }
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    for (int fd : clients) {
        ::close(fd);
    }
    const std::string log = stopService(service);
    std::printf("%-34s", title);
    for (std::size_t i = 0; i < received.size(); ++i) {
        std::printf("  client %zu: %8.0f records/s", i + 1, static_cast<double>(received[i]) / seconds);
    }
    std::printf("  (queues dropped %s)\n", counter(log, "records dropped for slow clients").c_str());
}

void runFlood(const char* title, int clientCount, double seconds, double rate) {
    Service service = startService();
    std::vector<int> clients;
    for (int i = 0; i < clientCount; ++i) {
        clients.push_back(connectControl(service.socket));
    }
    std::this_thread::sleep_for(200ms);
    const FloodResult result = flood(clients, seconds, rate);
    for (int fd : clients) {
        ::close(fd);
    }
    const std::string log = stopService(service);
    std::printf("%-34s sent %8.0f/s", title, static_cast<double>(result.sent) / result.seconds);
    for (std::size_t i = 0; i < result.received.size(); ++i) {
        const auto missing = result.sent > result.received[i] ? result.sent - result.received[i] : 0;
        std::printf("  client %zu: %8.0f records/s, missing %llu", i + 1,
                    static_cast<double>(result.received[i]) / result.seconds,
                    static_cast<unsigned long long>(missing));
    }
    std::printf("\n%34s (ring buffer lost %s, queues dropped %s)\n", "",
                counter(log, "lost in a full ring buffer").c_str(),
                counter(log, "records dropped for slow clients").c_str());
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 2;
    int rounds = 5;
    double rate = 110000;
    std::string only = "all";
    const char* usage = "usage: filterd_load [--seconds S] [--rounds N] [--rate R] "
                        "[--only connects|cost|gap|journal|watched|records]   (as root)\n";
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "filterd_load: %s needs a value\n%s", option.c_str(), usage);
            return 2;
        }
        if (option == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (option == "--rounds") {
            rounds = std::atoi(argv[i + 1]);
        } else if (option == "--only") {
            only = argv[i + 1];
        } else if (option == "--rate") {
            rate = std::atof(argv[i + 1]);
        } else {
            std::fprintf(stderr, "filterd_load: unknown option %s\n%s", option.c_str(), usage);
            return 2;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "filterd_load needs root: it runs the eBPF service\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    printMachine();

    const std::string statsFlag = readFile("/proc/sys/kernel/bpf_stats_enabled");
    std::ofstream("/proc/sys/kernel/bpf_stats_enabled") << "1";
    const auto wanted = [&only](const char* part) {
        return only == "all" || only == part;
    };
    if (wanted("connects")) {
        runConnects(rounds, seconds);
    }
    if (wanted("cost")) {
        runMachineCost(rounds, seconds);
    }
    if (wanted("gap")) {
        runDeliveryGap(30);
    }
    if (wanted("journal")) {
        runJournalCost(rounds, seconds);
    }
    if (wanted("watched")) {
        runWatchedCost(rounds, seconds);
    }
    std::ofstream("/proc/sys/kernel/bpf_stats_enabled") << (statsFlag.empty() ? "0" : statsFlag.substr(0, 1));
    if (!wanted("records")) {
        return 0;
    }

    std::printf("\nrecords delivered (%.0f s of UDP flows to distinct peers):\n", seconds);
    runFlood("one client, paced", 1, seconds, rate);
    runFlood("two clients, paced", 2, seconds, rate);
    runFlood("one client, flat out", 1, seconds, 0);
    runFlood("two clients, flat out", 2, seconds, 0);

    std::printf("\nrecords delivered from --simulate at --rate %.0f (the service's side alone):\n",
                1.5 * rate);
    runSimulated("one client", 1, seconds, 1.5 * rate);
    runSimulated("two clients", 2, seconds, 1.5 * rate);
    return 0;
}
