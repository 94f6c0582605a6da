// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/ConnectionEvent.h"
#include "filterd/EventLoop.h"
#include "filterd/FilterBackend.h"
#include "filterd/bpf/UserLists.h"
#include "filterd/names/ResolvedNames.h"
#include "wire/UniqueFd.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct quilvane_filter;
struct ring_buffer;
struct qv_dns_answer;
struct bpf_link;
struct bpf_program;

namespace Filterd {

// The eBPF backend: loads the kernel programs, attaches the process-table tracepoints (exec, fork),
// the exec security hook where the kernel allows BPF LSM programs, and to the cgroup (the root of
// the cgroup v2 hierarchy unless told otherwise) the four sock_addr programs, post_bind4/6, the
// cgroup_skb ingress and egress filters and sock_ops; seeds the process table from /proc, swaps
// per-user block lists in, and reads the ring buffer of connection events.
//
// With a pin directory the lists, the process table, the sockets' owners and every link are pinned
// there, and blocking survives the service: a new instance reuses the pinned maps (the lists stay
// in force, the table stays current), moves the pinned cgroup links to its own programs in one
// atomic update each, and attaches its tracepoints before it lets go of the old ones, so a restart
// never lets a blocked name through. unload() removes the pins, which detaches the programs for
// good. Without a pin directory everything goes with the process.
class BpfFilter final : public FilterBackend {
public:
    struct Options {
        std::string pinDirectory; // empty: nothing outlives the process
        std::string cgroupPath;   // empty: the root of the cgroup v2 hierarchy in /proc/mounts
    };

    static std::unique_ptr<BpfFilter> create(EventLoop& loop, const Options& options, EventSink sink,
                                             std::string& error);
    // Removes the pins of a stopped service; its list stops being enforced.
    static bool unload(const std::string& pinDirectory, std::string& error);

    ~BpfFilter() override;
    BpfFilter(const BpfFilter&) = delete;
    BpfFilter& operator=(const BpfFilter&) = delete;

    bool replaceBlockList(ListOwner owner, const BlockListCommand& command, std::string& error) override;
    void poll() override;
    void usersChanged() override;
    void waitUntilApplied() override;
    std::string statistics() const override;

    // Events the kernel could not queue because the ring buffer was full.
    std::uint64_t droppedEvents() const;
    // One line for the log: the running kernel and what of it the service uses.
    std::string kernelFeatures() const;

private:
    static void configureKernelSide(quilvane_filter& skeleton);

    struct SkeletonDeleter {
        void operator()(quilvane_filter* skeleton) const;
    };
    struct RingBufferDeleter {
        void operator()(ring_buffer* ring) const;
    };
    struct LinkDeleter {
        void operator()(bpf_link* link) const;
    };
    using LinkPtr = std::unique_ptr<bpf_link, LinkDeleter>;

    BpfFilter(EventLoop& loop, Options options, EventSink sink);

    // One program the service attaches, under the name of its pin.
    struct Hook {
        enum class Kind { tracepoint, lsm, cgroup };
        enum class Part { required, incoming, linkTargets }; // what a kernel may refuse, as a whole
        const char* pin;
        bpf_program* program;
        Kind kind;
        Part part;
    };
    std::vector<Hook> hooks() const;
    bool partLoaded(Hook::Part part) const;

    bool load(std::string& error);
    bool fillInterpreters(std::string& error);
    static std::uint32_t processTableSize(const std::string& pin);
    bool attach(Hook::Kind kind, std::string& error);
    bool attachOne(std::size_t index, const Hook& hook, std::string& error);
    bool openRingBuffer(std::string& error);
    void continueListGeneration();
    void recordListGeneration(std::uint32_t generation);
    void listsChanged();
    bool collectRecords();
    void onBatchTimer();
    static int onEvent(void* context, void* data, std::size_t size);
    void learnNames(const qv_dns_answer& raw);

    EventLoop& m_loop;
    Options m_options;
    EventSink m_sink;
    Quilvane::Wire::UniqueFd m_cgroup;
    std::unique_ptr<quilvane_filter, SkeletonDeleter> m_skeleton;
    std::vector<LinkPtr> m_links;                        // links this instance created, by hook
    std::vector<Quilvane::Wire::UniqueFd> m_reusedLinks; // pinned links taken over from an earlier instance
    bool m_incomingLoaded = true;
    bool m_linkTargetsLoaded = true;
    std::unique_ptr<UserLists> m_lists;
    std::unique_ptr<ring_buffer, RingBufferDeleter> m_ring;
    // How long records of a stream wait in the ring for the service (the first one never does).
    static constexpr std::chrono::milliseconds kBatchInterval{2};
    Quilvane::Wire::UniqueFd m_batchTimer;
    bool m_batchTimerArmed = false;
    std::mutex m_generationMutex;
    ConnectionEvent m_event; // reused for every ring-buffer record
    std::uint64_t m_events = 0;
    ResolvedNames m_names; // from the DNS answers the kernel copies
    std::uint64_t m_namesLearnt = 0;
};

} // namespace Filterd
