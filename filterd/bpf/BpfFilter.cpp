// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/bpf/BpfFilter.h"

#include "filterd/Log.h"
#include "filterd/bpf/BpfPaths.h"
#include "filterd/bpf/FilterShared.h"
#include "filterd/bpf/NameHash.h"
#include "filterd/bpf/ProcessTable.h"
#include "filterd/control/BlockListCommand.h"
#include "filterd/control/PeerProcess.h"
#include "quilvane_filter.skel.h"
#include "wire/ServiceLimits.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/types.h>
#include <netinet/in.h>
#include <span>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

static_assert(QV_EXE_NAME_SIZE == Quilvane::Wire::kMaxNameLength + 1);
static_assert(kEveryone == QV_EVERYONE_UID);

constexpr std::array<const char*, 3> kMapPins = {"user_lists", "processes", "socket_owners"};
// The single list of an earlier version, keyed by name; nothing reads it any more.
constexpr const char* kLegacyListPin = "block_list";
// The pins of hooks(), for unload(), which has no skeleton.
constexpr std::array<const char*, 13> kLinkPinNames = {
    "exec",     "fork",       "exit",       "bprm_check", "connect4", "connect6", "sendmsg4",
    "sendmsg6", "post_bind4", "post_bind6", "ingress",    "egress",   "sockops"};

// libbpf's own messages: warnings and errors only, a log line each. A verifier's refusal comes as
// one message of many lines; its head and its last lines, where the reason stands, are kept.
int printLibbpf(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG || level == LIBBPF_INFO) {
        return 0;
    }
    std::va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    constexpr std::size_t kHead = 4;
    constexpr std::size_t kTail = 24;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i == kHead && lines.size() > kHead + kTail) {
            Log::line("libbpf: [" + std::to_string(lines.size() - kHead - kTail) + " lines left out]");
            i = lines.size() - kTail;
        }
        Log::line("libbpf: " + lines[i]);
    }
    return n;
}

bpf_map* pinnedMap(quilvane_filter* skeleton, int index) {
    switch (index) {
    case 0:
        return skeleton->maps.user_lists;
    case 1:
        return skeleton->maps.processes;
    default:
        return skeleton->maps.socket_owners;
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// What the kernel did not know: the program of a process that bound a port before its exec
// could be seen.
std::string exeOfPid(std::int32_t pid) {
    char target[QV_PATH_SIZE];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
        return {};
    }
    std::string path(target, static_cast<std::size_t>(n));
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

} // namespace

// How the kernel side batches its reports and how often it reports a UDP peer again. Only the first
// record after a quiet spell wakes the service (see collectRecords()); a quarter of the ring filled
// before the timer comes wakes it too. A UDP peer is reported again after 5 s.
void BpfFilter::configureKernelSide(quilvane_filter& skeleton) {
    skeleton.rodata->wakeup_bytes = bpf_map__max_entries(skeleton.maps.events) / 4;
    skeleton.rodata->udp_report_interval_ns = 5'000'000'000ULL;
    // The ring buffer holds about 7,500 records; a burst of 2,048 and 50,000 a second for each user
    // is far above what a desktop makes, and keeps one user from filling it for the others.
    skeleton.rodata->user_reports_per_second = 50'000;
    skeleton.rodata->user_report_burst = 2'048;
}

void BpfFilter::SkeletonDeleter::operator()(quilvane_filter* skeleton) const {
    quilvane_filter__destroy(skeleton);
}

void BpfFilter::RingBufferDeleter::operator()(ring_buffer* ring) const {
    ring_buffer__free(ring);
}

void BpfFilter::LinkDeleter::operator()(bpf_link* link) const {
    bpf_link__destroy(link);
}

std::unique_ptr<BpfFilter> BpfFilter::create(EventLoop& loop, const Options& options, EventSink sink,
                                             std::string& error) {
    libbpf_set_print(printLibbpf);
    std::unique_ptr<BpfFilter> filter(new BpfFilter(loop, options, std::move(sink)));
    if (!filter->load(error)) {
        return nullptr;
    }
    filter->continueListGeneration();
    if (!filter->fillInterpreters(error) || !filter->attach(Hook::Kind::tracepoint, error) ||
        !filter->attach(Hook::Kind::lsm, error)) {
        return nullptr;
    }
    // After the tracepoints: a process that execs meanwhile is never overwritten by a stale seed.
    const std::size_t seeded = ProcessTable::seed(bpf_map__fd(filter->m_skeleton->maps.processes));
    Log::line("process table: " + std::to_string(seeded) + " running processes named from /proc");
    if (!filter->attach(Hook::Kind::cgroup, error) || !filter->openRingBuffer(error)) {
        return nullptr;
    }
    Log::line(filter->kernelFeatures());
    filter->m_lists = std::make_unique<UserLists>(bpf_map__fd(filter->m_skeleton->maps.user_lists),
                                                  Quilvane::Wire::kMaxListOwners,
                                                  [raw = filter.get()] { raw->listsChanged(); });
    filter->m_lists->setApplied(
        [raw = filter.get()](const ListOutcome& outcome) { raw->listApplied(outcome); });
    filter->usersChanged(); // users deleted while the service was away; needs the lists
    return filter;
}

BpfFilter::BpfFilter(EventLoop& loop, Options options, EventSink sink)
    : m_loop(loop)
    , m_options(std::move(options))
    , m_sink(std::move(sink)) {}

BpfFilter::~BpfFilter() {
    if (m_ring) {
        m_loop.remove(ring_buffer__epoll_fd(m_ring.get()));
    }
    if (m_batchTimer) {
        m_loop.remove(m_batchTimer.get());
    }
    // Lists still queued are applied before the maps go.
    m_lists.reset();
    // Pinned links keep the programs attached after these handles close; unpinned ones detach.
    m_ring.reset();
    m_links.clear();
    m_reusedLinks.clear();
    m_skeleton.reset();
}

// Every program the service attaches, under the name of its pin. Blocking and the process table
// are required; the rest is left out on a kernel that refuses it, and the log says what that costs.
std::vector<BpfFilter::Hook> BpfFilter::hooks() const {
    auto& p = m_skeleton->progs;
    using K = Hook::Kind;
    using P = Hook::Part;
    return {
        {"exec", p.quilvane_exec, K::tracepoint, P::required},
        {"fork", p.quilvane_fork, K::tracepoint, P::required},
        {"exit", p.quilvane_exit, K::tracepoint, P::required},
        {"bprm_check", p.quilvane_bprm_check, K::lsm, P::linkTargets},
        {"connect4", p.quilvane_connect4, K::cgroup, P::required},
        {"connect6", p.quilvane_connect6, K::cgroup, P::required},
        {"sendmsg4", p.quilvane_sendmsg4, K::cgroup, P::required},
        {"sendmsg6", p.quilvane_sendmsg6, K::cgroup, P::required},
        {"post_bind4", p.quilvane_post_bind4, K::cgroup, P::incoming},
        {"post_bind6", p.quilvane_post_bind6, K::cgroup, P::incoming},
        {"ingress", p.quilvane_ingress, K::cgroup, P::incoming},
        {"egress", p.quilvane_egress, K::cgroup, P::incoming},
        {"sockops", p.quilvane_sockops, K::cgroup, P::incoming},
    };
}

bool BpfFilter::partLoaded(Hook::Part part) const {
    switch (part) {
    case Hook::Part::required:
        return true;
    case Hook::Part::incoming:
        return m_incomingLoaded;
    case Hook::Part::linkTargets:
        return m_linkTargetsLoaded;
    }
    return false;
}

bool BpfFilter::load(std::string& error) {
    std::string cgroupPath = m_options.cgroupPath;
    if (cgroupPath.empty()) {
        const auto mount = BpfPaths::cgroup2Mount();
        if (!mount) {
            error = "no cgroup v2 hierarchy is mounted (none in /proc/mounts)";
            return false;
        }
        cgroupPath = *mount;
    }
    m_cgroup.reset(::open(cgroupPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_cgroup) {
        error = "cannot open the cgroup " + cgroupPath + ": " + std::strerror(errno);
        return false;
    }

    const std::string& pins = m_options.pinDirectory;
    if (!pins.empty()) {
        if (!BpfPaths::ensureBpffs(BpfPaths::parentOf(pins), error)) {
            return false;
        }
        if (::mkdir(pins.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + pins + ": " + std::strerror(errno);
            return false;
        }
    }

    if (!pins.empty() && exists(pins + "/" + kLegacyListPin)) {
        Log::line("discarding the block list pinned by an earlier version; clients send theirs again");
        ::unlink((pins + "/" + kLegacyListPin).c_str());
    }
    bool pinsDiscarded = false;
    for (;;) {
        m_skeleton.reset(quilvane_filter__open());
        if (!m_skeleton) {
            error = std::string("cannot open the BPF programs: ") + std::strerror(errno);
            return false;
        }
        configureKernelSide(*m_skeleton);
        bool anyPinned = false;
        for (int i = 0; i < static_cast<int>(kMapPins.size()) && !pins.empty(); ++i) {
            const std::string mapPin = pins + "/" + kMapPins[i];
            anyPinned = anyPinned || exists(mapPin);
            bpf_map__set_pin_path(pinnedMap(m_skeleton.get(), i), mapPin.c_str());
        }
        bpf_map__set_max_entries(m_skeleton->maps.processes,
                                 processTableSize(pins.empty() ? std::string() : pins + "/processes"));
        for (const Hook& hook : hooks()) {
            bpf_program__set_autoload(hook.program, partLoaded(hook.part));
        }
        const int result = quilvane_filter__load(m_skeleton.get());
        if (result == 0) {
            return true;
        }
        // Blocking and the process table are the service; the rest is not, and a kernel that
        // refuses a part still gets everything else. The optional parts go before the pinned maps:
        // the lists in force live in those.
        if (m_linkTargetsLoaded) {
            Log::line(
                "this kernel does not run BPF LSM programs here (lockdown, or bpf missing from lsm=): a "
                "script started through a symbolic link is known by the link's name and its interpreter");
            m_linkTargetsLoaded = false;
            continue;
        }
        if (m_incomingLoaded) {
            Log::line(
                "this kernel refused the programs for incoming traffic (post_bind, cgroup_skb, sockops): "
                "outgoing blocking works, but listening is not refused, open connections are not cut, "
                "and accepted connections are not shown");
            m_incomingLoaded = false;
            continue;
        }
        // Maps pinned by an incompatible version cannot be reused; start with empty ones, and give
        // the optional parts another chance.
        if (!pinsDiscarded && anyPinned) {
            Log::line("the maps pinned in " + pins + " do not fit these programs; discarding them");
            for (const char* name : kMapPins) {
                ::unlink((pins + "/" + name).c_str());
            }
            pinsDiscarded = true;
            m_linkTargetsLoaded = true;
            m_incomingLoaded = true;
            continue;
        }
        error =
            std::string("cannot load the BPF programs (the kernel refused them): ") + std::strerror(-result);
        return false;
    }
}

// A place for every task the machine may have at once, so that the table can never be full: the
// size of the table pinned by an earlier run (which must match to be reused), else
// kernel.threads-max. Memory is taken per process, not for the size.
std::uint32_t BpfFilter::processTableSize(const std::string& pin) {
    if (UniqueFd pinned(pin.empty() ? -1 : bpf_obj_get(pin.c_str())); pinned) {
        bpf_map_info info{};
        __u32 length = sizeof info;
        if (bpf_obj_get_info_by_fd(pinned.get(), &info, &length) == 0 && info.max_entries > 0) {
            return info.max_entries;
        }
    }
    std::uint64_t threads = 0;
    std::ifstream("/proc/sys/kernel/threads-max") >> threads;
    constexpr std::uint64_t kFloor = 32768;
    constexpr std::uint64_t kCeiling = 4194304;                                   // PID_MAX_LIMIT
    return static_cast<std::uint32_t>(std::clamp(threads, kFloor, kCeiling)) + 1; // + QV_GENERATION_KEY
}

bool BpfFilter::fillInterpreters(std::string& error) {
    const int map = bpf_map__fd(m_skeleton->maps.interpreters);
    const __u8 present = 1;
    for (const std::string& name : ProcessTable::interpreterNames()) {
        const std::uint64_t key = nameHash(name);
        if (bpf_map_update_elem(map, &key, &present, BPF_ANY) != 0) {
            error = std::string("cannot fill the interpreters' map: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool BpfFilter::attach(Hook::Kind kind, std::string& error) {
    const std::vector<Hook> all = hooks();
    m_links.resize(all.size());
    m_reusedLinks.resize(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].kind == kind && partLoaded(all[i].part) && !attachOne(i, all[i], error)) {
            return false;
        }
    }
    return true;
}

// A pinned cgroup link of an earlier instance is moved to the new program in one atomic update, so
// a restart never lets a blocked name through; a tracepoint or LSM link is attached anew first and
// then takes the old one's pin (both run meanwhile, which is harmless: a name is added once).
bool BpfFilter::attachOne(std::size_t index, const Hook& hook, std::string& error) {
    const std::string& pins = m_options.pinDirectory;
    const std::string pin = pins.empty() ? std::string() : pins + "/" + hook.pin;
    if (hook.kind == Hook::Kind::cgroup && !pin.empty() && exists(pin)) {
        UniqueFd link(bpf_obj_get(pin.c_str()));
        if (link && bpf_link_update(link.get(), bpf_program__fd(hook.program), nullptr) == 0) {
            m_reusedLinks[index] = std::move(link);
            return true;
        }
        Log::error("cannot take over the pinned link " + pin + "; attaching anew", errno);
        ::unlink(pin.c_str());
    }
    LinkPtr link(hook.kind == Hook::Kind::cgroup ? bpf_program__attach_cgroup(hook.program, m_cgroup.get())
                                                 : bpf_program__attach(hook.program));
    if (!link) {
        error = std::string("cannot attach ") + bpf_program__name(hook.program) + ": " + std::strerror(errno);
        return false;
    }
    if (!pin.empty()) {
        ::unlink(pin.c_str());
        if (bpf_link__pin(link.get(), pin.c_str()) != 0) {
            Log::error("cannot pin " + pin + "; it stops with the service", errno);
        }
    }
    m_links[index] = std::move(link);
    return true;
}

// Cached verdicts (a process's, a socket's) name the list generation they were decided under, and
// pinned maps keep them across a restart; the generation goes on from the last one an earlier
// instance recorded, so none of those can match again.
void BpfFilter::continueListGeneration() {
    const std::uint32_t key = QV_GENERATION_KEY;
    qv_process record{};
    if (bpf_map_lookup_elem(bpf_map__fd(m_skeleton->maps.processes), &key, &record) == 0) {
        m_skeleton->bss->list_generation = static_cast<std::uint32_t>(record.verdict) + 1;
    }
    recordListGeneration(m_skeleton->bss->list_generation);
}

void BpfFilter::recordListGeneration(std::uint32_t generation) {
    const std::uint32_t key = QV_GENERATION_KEY;
    qv_process record{};
    record.verdict = generation;
    if (bpf_map_update_elem(bpf_map__fd(m_skeleton->maps.processes), &key, &record, BPF_ANY) != 0) {
        Log::error("cannot record the list generation; a restart drops cached verdicts less surely", errno);
    }
}

void BpfFilter::listsChanged() {
    const std::lock_guard lock(m_generationMutex);
    const std::uint32_t next = __atomic_load_n(&m_skeleton->bss->list_generation, __ATOMIC_RELAXED) + 1;
    recordListGeneration(next); // before any verdict can be cached under it
    __atomic_store_n(&m_skeleton->bss->list_generation, next, __ATOMIC_SEQ_CST);
}

std::string BpfFilter::kernelFeatures() const {
    utsname system{};
    ::uname(&system);
    std::string line =
        std::string("kernel ") + system.release +
        ": BTF, cgroup v2, ring buffer, bpf_loop, task and socket storage; exec/fork tracepoints, "
        "connect4/6 and sendmsg4/6 (blocking)";
    line += m_incomingLoaded ? ", post_bind4/6 and cgroup_skb (incoming and open connections), sockops"
                             : "; no incoming blocking or reports";
    line += m_linkTargetsLoaded ? ", LSM bprm_check (link targets)" : "; no BPF LSM (link targets unknown)";
    line +=
        PeerProcess::kernelHasPeerPidfd()
            ? "; SO_PEERPIDFD for polkit"
            : "; no SO_PEERPIDFD (before 6.5): polkit answers are checked against the client's start time "
              "and owner";
    return line;
}

bool BpfFilter::openRingBuffer(std::string& error) {
    m_ring.reset(ring_buffer__new(bpf_map__fd(m_skeleton->maps.events), &BpfFilter::onEvent, this, nullptr));
    if (!m_ring) {
        error = std::string("cannot open the event ring buffer: ") + std::strerror(errno);
        return false;
    }
    m_batchTimer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!m_batchTimer ||
        !m_loop.add(ring_buffer__epoll_fd(m_ring.get()), EPOLLIN, [this](std::uint32_t) { poll(); }) ||
        !m_loop.add(m_batchTimer.get(), EPOLLIN, [this](std::uint32_t) { onBatchTimer(); })) {
        error = "cannot watch the event ring buffer";
        return false;
    }
    return true;
}

int BpfFilter::onEvent(void* context, void* data, std::size_t size) {
    static_assert(sizeof(qv_dns_answer) != sizeof(qv_event), "the ring's records are told apart by size");
    auto* self = static_cast<BpfFilter*>(context);
    if (size == sizeof(qv_dns_answer)) {
        self->learnNames(*static_cast<const qv_dns_answer*>(data));
        return 0;
    }
    if (size < sizeof(qv_event)) {
        return 0;
    }
    qv_event raw;
    std::memcpy(&raw, data, sizeof raw);
    ConnectionEvent& event = self->m_event;
    event.pid = static_cast<std::int32_t>(raw.flow.pid);
    event.family = raw.flow.family;
    event.protocol = raw.flow.protocol;
    event.direction = raw.flow.direction == QV_DIRECTION_INCOMING ? ConnectionEvent::Direction::incoming
                                                                  : ConnectionEvent::Direction::outgoing;
    event.blocked = raw.flow.verdict == QV_VERDICT_BLOCKED;
    std::memcpy(event.address.data(), raw.flow.address, event.address.size());
    event.port = raw.flow.port;
    event.uid = raw.uid;
    event.exe.assign(raw.exe, ::strnlen(raw.exe, sizeof raw.exe));
    event.script.assign(raw.script, ::strnlen(raw.script, sizeof raw.script));
    if (event.exe.empty()) {
        event.exe = exeOfPid(event.pid);
    }
    event.host.clear();
    if (event.direction == ConnectionEvent::Direction::outgoing) {
        event.host = self->m_names.nameFor(event.uid, event.pid, {event.family, event.address});
    }
    ++self->m_events;
    self->m_sink(event);
    return 0;
}

void BpfFilter::learnNames(const qv_dns_answer& raw) {
    const auto message = std::span(raw.message).first(std::min<std::size_t>(raw.length, sizeof raw.message));
    const auto answer =
        raw.protocol == IPPROTO_TCP ? DnsAnswer::parseStream(message) : DnsAnswer::parse(message);
    if (answer) {
        m_names.learn(raw.uid, static_cast<pid_t>(raw.tgid), *answer);
        ++m_namesLearnt;
    }
}

// While records keep coming the service looks at the ring every kBatchInterval on its own, and
// the programs leave it asleep (service_awake). A look that finds nothing ends that: the flag is
// cleared first and the ring looked at once more, so a record committed in between is not left
// waiting for the next one.
bool BpfFilter::collectRecords() {
    if (!m_ring || ring_buffer__consume(m_ring.get()) <= 0) {
        return false;
    }
    __atomic_store_n(&m_skeleton->bss->service_awake, 1, __ATOMIC_SEQ_CST);
    if (!m_batchTimerArmed) {
        const itimerspec once{{0, 0}, {0, std::chrono::nanoseconds(kBatchInterval).count()}};
        m_batchTimerArmed = ::timerfd_settime(m_batchTimer.get(), 0, &once, nullptr) == 0;
    }
    return true;
}

void BpfFilter::poll() {
    collectRecords();
}

void BpfFilter::onBatchTimer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_batchTimer.get(), &expirations, sizeof expirations);
    m_batchTimerArmed = false;
    if (!collectRecords()) {
        __atomic_store_n(&m_skeleton->bss->service_awake, 0, __ATOMIC_SEQ_CST);
        collectRecords();
    }
}

bool BpfFilter::replaceBlockList(ListOwner owner, const BlockListCommand& command, std::string& error) {
    return m_lists->replace(owner, command.payload(), command.nameCount(), error, command.ticket());
}

void BpfFilter::waitUntilApplied() {
    m_lists->waitUntilApplied();
}

void BpfFilter::usersChanged() {
    m_lists->removeListsOfDeletedUsers();
}

std::uint64_t BpfFilter::droppedEvents() const {
    return __atomic_load_n(&m_skeleton->bss->dropped_events, __ATOMIC_RELAXED);
}

std::string BpfFilter::statistics() const {
    return "kernel events " + std::to_string(m_events) + ", lost in a full ring buffer " +
           std::to_string(droppedEvents()) + ", over a user's share " +
           std::to_string(__atomic_load_n(&m_skeleton->bss->over_user_share, __ATOMIC_RELAXED)) +
           ", DNS answers read " + std::to_string(m_namesLearnt) + ", host names known " +
           std::to_string(m_names.size());
}

bool BpfFilter::unload(const std::string& pinDirectory, std::string& error) {
    // Removing a pin lets the kernel free the object some time later; detaching the links first
    // makes the end of blocking immediate.
    bool ok = true;
    const auto remove = [&](const std::string& pin) {
        if (::unlink(pin.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove " + pin + ": " + std::strerror(errno);
            ok = false;
        }
    };
    for (const char* name : kLinkPinNames) {
        const std::string pin = pinDirectory + "/" + name;
        if (UniqueFd link(bpf_obj_get(pin.c_str())); link) {
            bpf_link_detach(link.get());
        }
        remove(pin);
    }
    for (const char* name : kMapPins) {
        remove(pinDirectory + "/" + name);
    }
    remove(pinDirectory + "/" + kLegacyListPin);
    if (::rmdir(pinDirectory.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + pinDirectory + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

} // namespace Filterd
