#include "filterd/BpfFilter.h"

#include "filterd/BlockListCommand.h"
#include "filterd/BpfPaths.h"
#include "filterd/Log.h"
#include "filterd/bpf/FilterShared.h"
#include "quilvane_filter.skel.h"

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
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

static_assert(QV_EXE_NAME_SIZE == BlockListCommand::kMaxNameLength + 1);

constexpr const char* kBlockListPin = "block_list";
constexpr std::array<const char*, 4> kLinkPins = {"connect4", "connect6", "sendmsg4", "sendmsg6"};

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

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

// How the kernel side batches its reports and how often it reports a UDP peer again. Waking the
// service for every record would cost a context switch each; 64 KiB of queued records, or 2 ms since
// the last wake-up, keeps both the cost and the delay small. A UDP peer is reported again after 5 s.
void BpfFilter::configureKernelSide(quilvane_filter& skeleton) {
    skeleton.rodata->wakeup_bytes = 64 * 1024;
    skeleton.rodata->wakeup_quiet_ns = 2'000'000ULL;
    skeleton.rodata->udp_report_interval_ns = 5'000'000'000ULL;
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
    if (!filter->load(error) || !filter->attachCgroupPrograms(error) || !filter->openRingBuffer(error)) {
        return nullptr;
    }
    filter->m_acceptLink.reset(bpf_program__attach(filter->m_skeleton->progs.quilvane_accept_exit));
    if (!filter->m_acceptLink) {
        Log::error("incoming connections will not be reported: cannot attach to sys_exit", errno);
    }
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
    // Pinned links keep the programs attached after these handles close; unpinned ones detach.
    m_ring.reset();
    m_acceptLink.reset();
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

    for (int attempt = 0; attempt < 2; ++attempt) {
        m_skeleton.reset(quilvane_filter__open());
        if (!m_skeleton) {
            error = std::string("cannot open the BPF programs: ") + std::strerror(errno);
            return false;
        }
        configureKernelSide(*m_skeleton);
        const std::string mapPin = pins.empty() ? std::string() : pins + "/" + kBlockListPin;
        if (!mapPin.empty()) {
            bpf_map__set_pin_path(m_skeleton->maps.block_list, mapPin.c_str());
        }
        const int result = quilvane_filter__load(m_skeleton.get());
        if (result == 0) {
            return true;
        }
        // A list pinned by an incompatible version cannot be reused; start with an empty one.
        if (attempt == 0 && !mapPin.empty() && exists(mapPin)) {
            Log::line("the pinned block list " + mapPin + " does not fit these programs; discarding it");
            ::unlink(mapPin.c_str());
            continue;
        }
        error =
            std::string("cannot load the BPF programs (the kernel refused them): ") + std::strerror(-result);
        return false;
    }
    return false;
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
    event.exe.assign(raw.exe, ::strnlen(raw.exe, sizeof raw.exe));
    ++self->m_events;
    self->m_sink(event);
    return 0;
}

void BpfFilter::poll() {
    if (m_ring) {
        ring_buffer__consume(m_ring.get());
    }
}

bool BpfFilter::replaceBlockList(const std::vector<std::string>& names, std::string& error) {
    const int outer = bpf_map__fd(m_skeleton->maps.block_list);
    const __u32 slot = 0;
    if (names.empty()) {
        if (bpf_map_delete_elem(outer, &slot) != 0 && errno != ENOENT) {
            error = std::string("cannot clear the list: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (names.size() > BlockListCommand::kMaxNames) {
        error = "too many names";
        return false;
    }

    // The new list is built aside and swapped in by one update of the outer map.
    LIBBPF_OPTS(bpf_map_create_opts, options, .map_flags = BPF_F_NO_PREALLOC);
    UniqueFd inner(bpf_map_create(BPF_MAP_TYPE_HASH, "qv_names", sizeof(qv_exe_name), sizeof(__u8),
                                  static_cast<__u32>(names.size()), &options));
    if (!inner) {
        error = std::string("cannot create a map for the list: ") + std::strerror(errno);
        return false;
    }
    const __u8 present = 1;
    for (const auto& name : names) {
        qv_exe_name key{};
        if (name.size() >= sizeof key.name) {
            error = "a name is longer than " + std::to_string(sizeof key.name - 1) + " bytes";
            return false;
        }
        std::memcpy(key.name, name.data(), name.size());
        if (bpf_map_update_elem(inner.get(), &key, &present, BPF_ANY) != 0) {
            error = std::string("cannot fill the list: ") + std::strerror(errno);
            return false;
        }
    }
    const __u32 innerFd = static_cast<__u32>(inner.get());
    if (bpf_map_update_elem(outer, &slot, &innerFd, BPF_ANY) != 0) {
        error = std::string("cannot swap the list in: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::uint64_t BpfFilter::droppedEvents() const {
    return __atomic_load_n(&m_skeleton->bss->dropped_events, __ATOMIC_RELAXED);
}

std::string BpfFilter::statistics() const {
    return "kernel events " + std::to_string(m_events) + ", lost in a full ring buffer " +
           std::to_string(droppedEvents());
}

bool BpfFilter::unload(const std::string& pinDirectory, std::string& error) {
    // Removing a pin lets the kernel free the object some time later; detaching the links and
    // emptying the list first makes the end of blocking immediate.
    bool ok = true;
    for (const char* name : kLinkPins) {
        const std::string pin = pinDirectory + "/" + name;
        if (UniqueFd link(bpf_obj_get(pin.c_str())); link) {
            bpf_link_detach(link.get());
        }
        if (::unlink(pin.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove " + pin + ": " + std::strerror(errno);
            ok = false;
        }
    }
    const std::string mapPin = pinDirectory + "/" + kBlockListPin;
    if (UniqueFd map(bpf_obj_get(mapPin.c_str())); map) {
        const __u32 slot = 0;
        bpf_map_delete_elem(map.get(), &slot);
    }
    if (::unlink(mapPin.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + mapPin + ": " + std::strerror(errno);
        ok = false;
    }
    if (::rmdir(pinDirectory.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + pinDirectory + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

} // namespace Filterd
