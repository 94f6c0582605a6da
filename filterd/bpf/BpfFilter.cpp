#include "filterd/bpf/BpfFilter.h"

#include "filterd/Log.h"
#include "filterd/bpf/BpfPaths.h"
#include "filterd/bpf/FilterShared.h"
#include "filterd/bpf/ProcessTable.h"
#include "filterd/control/PeerProcess.h"
#include "filterd/control/BlockListCommand.h"
#include "quilvane_filter.skel.h"
#include "wire/ServiceLimits.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/types.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

static_assert(QV_EXE_NAME_SIZE == Quilvane::Wire::kMaxNameLength + 1);
static_assert(kEveryone == QV_EVERYONE_UID);

constexpr std::array<const char*, 2> kMapPins = {"user_lists", "processes"};
// The single list of an earlier version, keyed by name; nothing reads it any more.
constexpr const char* kLegacyListPin = "block_list";
constexpr std::array<const char*, 4> kLinkPins = {"connect4", "connect6", "sendmsg4", "sendmsg6"};
constexpr std::array<const char*, 3> kTracepointPins = {"exec", "fork", "exit"};

// libbpf's own messages: warnings and errors only, as log lines.
int printLibbpf(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG || level == LIBBPF_INFO) {
        return 0;
    }
    char text[512];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    Log::line("libbpf: " + line);
    return n;
}

bpf_program* cgroupProgram(quilvane_filter* skeleton, int index) {
    switch (index) {
    case 0:
        return skeleton->progs.quilvane_connect4;
    case 1:
        return skeleton->progs.quilvane_connect6;
    case 2:
        return skeleton->progs.quilvane_sendmsg4;
    default:
        return skeleton->progs.quilvane_sendmsg6;
    }
}

bpf_program* tracepointProgram(quilvane_filter* skeleton, int index) {
    switch (index) {
    case 0:
        return skeleton->progs.quilvane_exec;
    case 1:
        return skeleton->progs.quilvane_fork;
    default:
        return skeleton->progs.quilvane_exit;
    }
}

bpf_map* pinnedMap(quilvane_filter* skeleton, int index) {
    return index == 0 ? skeleton->maps.user_lists : skeleton->maps.processes;
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

// How the kernel side batches its reports and how often it reports a UDP peer again. Waking the
// service for every record would cost a context switch each; 64 KiB of queued records, or 2 ms since
// the last wake-up, keeps both the cost and the delay small. A UDP peer is reported again after 5 s.
void BpfFilter::configureKernelSide(quilvane_filter& skeleton) {
    skeleton.rodata->wakeup_bytes = 64 * 1024;
    skeleton.rodata->wakeup_quiet_ns = 2'000'000ULL;
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
    if (!filter->load(error) || !filter->attachTracepoints(error)) {
        return nullptr;
    }
    // After the tracepoints: a process that execs meanwhile is never overwritten by a stale seed.
    const std::size_t seeded = ProcessTable::seed(bpf_map__fd(filter->m_skeleton->maps.processes));
    Log::line("process table: " + std::to_string(seeded) + " running processes named from /proc");
    if (!filter->attachCgroupPrograms(error) || !filter->openRingBuffer(error)) {
        return nullptr;
    }
    filter->attachIncomingReporters();
    Log::line(filter->kernelFeatures());
    filter->m_lists = std::make_unique<UserLists>(bpf_map__fd(filter->m_skeleton->maps.user_lists),
                                                  Quilvane::Wire::kMaxListOwners);
    filter->usersChanged(); // users deleted while the service was away; needs the lists
    filter->m_lists->setApplied(
        [raw = filter.get()](const ListOutcome& outcome) { raw->listApplied(outcome); });
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
    // Lists still queued are applied before the maps go.
    m_lists.reset();
    // Pinned links keep the programs attached after these handles close; unpinned ones detach.
    m_ring.reset();
    for (auto& link : m_incomingLinks) {
        link.reset();
    }
    for (auto& link : m_tracepointLinks) {
        link.reset();
    }
    for (auto& link : m_links) {
        link.reset();
    }
    m_skeleton.reset();
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
        if (!m_incomingLoaded) {
            leaveOutIncomingReporters();
        }
        const int result = quilvane_filter__load(m_skeleton.get());
        if (result == 0) {
            return true;
        }
        // Maps pinned by an incompatible version cannot be reused; start with empty ones.
        if (!pinsDiscarded && anyPinned) {
            Log::line("the maps pinned in " + pins + " do not fit these programs; discarding them");
            for (const char* name : kMapPins) {
                ::unlink((pins + "/" + name).c_str());
            }
            pinsDiscarded = true;
            continue;
        }
        // Blocking and the process table are the service; the reporters of incoming connections
        // are not, and a kernel that refuses them still gets the rest.
        if (m_incomingLoaded) {
            Log::line("this kernel refused the reporters of incoming connections (sockops, post_bind4/6): "
                      "blocking works, but accepted connections will not be shown");
            m_incomingLoaded = false;
            continue;
        }
        error =
            std::string("cannot load the BPF programs (the kernel refused them): ") + std::strerror(-result);
        return false;
    }
}

void BpfFilter::leaveOutIncomingReporters() {
    bpf_program__set_autoload(m_skeleton->progs.quilvane_sockops, false);
    bpf_program__set_autoload(m_skeleton->progs.quilvane_post_bind4, false);
    bpf_program__set_autoload(m_skeleton->progs.quilvane_post_bind6, false);
}

bool BpfFilter::attachTracepoints(std::string& error) {
    for (int i = 0; i < static_cast<int>(kTracepointPins.size()); ++i) {
        bpf_program* program = tracepointProgram(m_skeleton.get(), i);
        m_tracepointLinks[i].reset(bpf_program__attach(program));
        if (!m_tracepointLinks[i]) {
            error = std::string("cannot attach ") + bpf_program__name(program) + ": " + std::strerror(errno);
            return false;
        }
        if (m_options.pinDirectory.empty()) {
            continue;
        }
        // The new program runs before the old one's pin goes, so no exec goes unseen; both write the
        // same pinned table meanwhile, which is harmless (a name is added once).
        const std::string pin = m_options.pinDirectory + "/" + kTracepointPins[i];
        ::unlink(pin.c_str());
        if (bpf_link__pin(m_tracepointLinks[i].get(), pin.c_str()) != 0) {
            Log::error("cannot pin " + pin + "; processes started while the service is away keep old names",
                       errno);
        }
    }
    return true;
}

// Incoming connections are reported, not filtered: without these the service still blocks.
void BpfFilter::attachIncomingReporters() {
    if (!m_incomingLoaded) {
        return;
    }
    bpf_program* programs[] = {m_skeleton->progs.quilvane_sockops, m_skeleton->progs.quilvane_post_bind4,
                               m_skeleton->progs.quilvane_post_bind6};
    for (std::size_t i = 0; i < m_incomingLinks.size(); ++i) {
        m_incomingLinks[i].reset(bpf_program__attach_cgroup(programs[i], m_cgroup.get()));
        if (!m_incomingLinks[i]) {
            Log::error(std::string("incoming connections will not be reported: cannot attach ") +
                           bpf_program__name(programs[i]),
                       errno);
            for (auto& link : m_incomingLinks) {
                link.reset();
            }
            return;
        }
    }
}

bool BpfFilter::attachCgroupPrograms(std::string& error) {
    for (int i = 0; i < static_cast<int>(kLinkPins.size()); ++i) {
        if (!attachOne(i, error)) {
            return false;
        }
    }
    return true;
}

bool BpfFilter::attachOne(int index, std::string& error) {
    bpf_program* program = cgroupProgram(m_skeleton.get(), index);
    const std::string& pins = m_options.pinDirectory;
    const std::string pin = pins.empty() ? std::string() : pins + "/" + kLinkPins[index];

    if (!pin.empty() && exists(pin)) {
        UniqueFd link(bpf_obj_get(pin.c_str()));
        if (link && bpf_link_update(link.get(), bpf_program__fd(program), nullptr) == 0) {
            m_reusedLinks[index] = std::move(link);
            return true;
        }
        Log::error("cannot take over the pinned link " + pin + "; attaching anew", errno);
        ::unlink(pin.c_str());
    }
    LinkPtr link(bpf_program__attach_cgroup(program, m_cgroup.get()));
    if (!link) {
        error = std::string("cannot attach ") + bpf_program__name(program) +
                " to the cgroup: " + std::strerror(errno);
        return false;
    }
    if (!pin.empty() && bpf_link__pin(link.get(), pin.c_str()) != 0) {
        Log::error("cannot pin " + pin + "; blocking will stop with the service", errno);
    }
    m_links[index] = std::move(link);
    return true;
}

std::string BpfFilter::kernelFeatures() const {
    utsname system{};
    ::uname(&system);
    std::string line = std::string("kernel ") + system.release + ": BTF, cgroup v2, ring buffer, bpf_loop; " +
                       "exec/fork/exit tracepoints, connect4/6 and sendmsg4/6 (blocking)";
    line += m_incomingLinks[0] ? ", sockops and post_bind4/6 (incoming connections)"
                               : "; incoming connections not reported";
    line += PeerProcess::kernelHasPeerPidfd()
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
    if (!m_loop.add(ring_buffer__epoll_fd(m_ring.get()), EPOLLIN, [this](std::uint32_t) { poll(); })) {
        error = "cannot watch the event ring buffer";
        return false;
    }
    return true;
}

int BpfFilter::onEvent(void* context, void* data, std::size_t size) {
    auto* self = static_cast<BpfFilter*>(context);
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
    ++self->m_events;
    self->m_sink(event);
    return 0;
}

void BpfFilter::poll() {
    if (m_ring) {
        ring_buffer__consume(m_ring.get());
    }
}

bool BpfFilter::replaceBlockList(ListOwner owner, const BlockListCommand& command, std::string& error) {
    return m_lists->replace(owner, command.payload(), command.nameCount(), error, command.ticket());
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
           std::to_string(__atomic_load_n(&m_skeleton->bss->over_user_share, __ATOMIC_RELAXED));
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
    for (const auto& names : {std::vector<const char*>(kLinkPins.begin(), kLinkPins.end()),
                              std::vector<const char*>(kTracepointPins.begin(), kTracepointPins.end())}) {
        for (const char* name : names) {
            const std::string pin = pinDirectory + "/" + name;
            if (UniqueFd link(bpf_obj_get(pin.c_str())); link) {
                bpf_link_detach(link.get());
            }
            remove(pin);
        }
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
