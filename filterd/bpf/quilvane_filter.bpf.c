// SPDX-License-Identifier: GPL-2.0
/* The kernel half of quilvane-filterd.
 *
 * Three scheduler tracepoints keep a table of processes (thread groups) and the names of every
 * program each has run since it was forked. Four cgroup_sock_addr programs on the cgroup v2 root
 * see every connect() and every addressed UDP send of the machine; each looks the caller's names
 * up in the list of the caller's user and in the list for everyone, and refuses the call (EPERM)
 * on a match. Incoming connections are reported from sock_ops (passive established) with the
 * process that bound the port, which post_bind4/6 remember: hooks that run once per connection,
 * never on unrelated system calls. Everything seen goes to the service through a ring buffer.
 */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "filterd/bpf/FilterShared.h"
#include "filterd/bpf/NameHash.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define SOCK_ADDR_ALLOW 1
#define SOCK_ADDR_DENY 0

/* Paths longer than this are hashed by the file name of the file they lead to instead. */
#define QV_SCAN_SIZE 1024

char LICENSE[] SEC("license") = "GPL";

/* Written by the loader (BpfFilter::configureKernelSide) into the skeleton's read-only data before load, so the
 * verifier sees them as constants; the values live there only. */
const volatile __u64 wakeup_bytes = 0;
const volatile __u64 wakeup_quiet_ns = 0;
const volatile __u64 udp_report_interval_ns = 0;
const volatile __u64 user_reports_per_second = 0;
const volatile __u64 user_report_burst = 0;

/* Read by the service through the skeleton's memory-mapped .bss. */
__u64 dropped_events = 0;
__u64 over_user_share = 0;
__u64 last_wakeup_ns = 0;

/* A process that execs for the first time gets this, then its names. */
const struct qv_process empty_process = {};

/* One user's list: name hashes. The service builds a new map of this shape for every command and
 * swaps it into user_lists in one update, so a look-up sees either the old list or the new one,
 * never a half-filled map. */
struct names_of_user {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, __u64);
    __type(value, __u8);
};

/* uid -> that user's list; QV_EVERYONE_UID -> the list for every process. The size is the bound on
 * users with a list, which the service states in its log when a list is refused for it. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH_OF_MAPS);
    __uint(max_entries, QV_MAX_LIST_OWNERS);
    __type(key, __u32);
    __array(values, struct names_of_user);
} user_lists SEC(".maps");

/* tgid -> names. Least recently used entries go first when it is full; a process without an entry
 * is matched by the file name of its executable, as before it had one. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u32);
    __type(value, struct qv_process);
} processes SEC(".maps");

/* TCP port (host order) -> the process that bound it. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u32);
    __type(value, struct qv_binder);
} bound_ports SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 4 * 1024 * 1024);
} events SEC(".maps");

/* A UDP socket may send thousands of datagrams to one peer; the first one of each few seconds is
 * reported. */
struct udp_flow {
    __u32 pid;
    __u16 port;
    __u8 family;
    __u8 reserved;
    __u8 address[16];
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, struct udp_flow);
    __type(value, __u64);
} udp_flows SEC(".maps");

/* Each user's share of the ring buffer: a token bucket of reports. One user making connections as
 * fast as the machine allows (UDP to ever-new ports) then loses only its own records, never another
 * user's; its connections are still blocked or allowed as before. */
struct report_budget {
    __u64 refilled_ns;
    __u64 tokens;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u32);
    __type(value, struct report_budget);
} report_budgets SEC(".maps");

/* Room to read one path in the exec tracepoint, which runs with preemption off: only it uses this,
 * so nothing else on the CPU can overwrite it half-way. */
struct exec_scratch {
    char path[QV_SCAN_SIZE];
};

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct exec_scratch);
} exec_scratch SEC(".maps");

/* ---- names ---------------------------------------------------------------------------------- */

struct scanned_path {
    __u64 hash;   /* of the last component */
    __u32 base;   /* offset of the last component */
    __u32 length; /* without the NUL */
};

/* bpf_loop keeps the verifier's work to one pass over the step, whatever the length. */
static long scan_step(__u64 index, void* data)
{
    struct scanned_path* scanned = data;
    __u32 zero = 0;
    struct exec_scratch* scratch = bpf_map_lookup_elem(&exec_scratch, &zero);
    if (!scratch) {
        return 1;
    }
    unsigned char c = scratch->path[index & (QV_SCAN_SIZE - 1)];
    if (c == '/') {
        scanned->base = index + 1;
    }
    scanned->hash = qv_name_hash_step(scanned->hash, c);
    return 0;
}

static __always_inline bool scan_path(const char* path, struct scanned_path* out)
{
    __u32 zero = 0;
    struct exec_scratch* scratch = bpf_map_lookup_elem(&exec_scratch, &zero);
    if (!scratch || !path) {
        return false;
    }
    long read = bpf_probe_read_kernel_str(scratch->path, sizeof(scratch->path), path);
    if (read <= 1 || read >= QV_SCAN_SIZE) {
        return false;
    }
    out->hash = QV_NAME_HASH_BASIS;
    out->base = 0;
    out->length = read - 1;
    bpf_loop(out->length, scan_step, out, 0);
    return true;
}

static __always_inline void add_name(struct qv_process* process, __u64 hash)
{
    __u32 count = process->name_count;
    for (__u32 i = 0; i < QV_PROCESS_NAMES; i++) {
        if (i >= count) {
            break;
        }
        if (process->names[i] == hash) {
            return;
        }
    }
    if (count < QV_PROCESS_NAMES) {
        process->names[count & (QV_PROCESS_NAMES - 1)] = hash;
        process->name_count = count + 1;
    } else {
        process->names[QV_PROCESS_NAMES - 1] = hash;
    }
}

static __always_inline struct qv_process* process_of(__u32 tgid)
{
    struct qv_process* process = bpf_map_lookup_elem(&processes, &tgid);
    if (process) {
        return process;
    }
    bpf_map_update_elem(&processes, &tgid, &empty_process, BPF_NOEXIST);
    return bpf_map_lookup_elem(&processes, &tgid);
}

/* ---- the process table ------------------------------------------------------------------------ */

/* filename is the path the caller asked for (the script, for a #! file); interp the program the
 * kernel ends up running for it (the interpreter; the same string as filename for a plain program);
 * file the file actually opened, with every symbolic link followed. Each gives a name. */
SEC("tp_btf/sched_process_exec")
int BPF_PROG(quilvane_exec, struct task_struct* task, pid_t old_pid, struct linux_binprm* bprm)
{
    __u32 tgid = task->tgid;
    struct qv_process* process = process_of(tgid);
    if (!process) {
        return 0;
    }
    if (process->flags & QV_PROCESS_INHERITED) {
        process->flags &= ~QV_PROCESS_INHERITED;
        process->name_count = 0;
        process->script[0] = 0;
    }

    struct scanned_path real = {};
    const char* real_name = (const char*)BPF_CORE_READ(bprm, file, f_path.dentry, d_name.name);
    bool have_real = scan_path(real_name, &real);
    if (have_real) {
        add_name(process, real.hash);
    }

    const char* filename = bprm->filename;
    const char* interp = bprm->interp;
    struct scanned_path asked = {};
    if (scan_path(filename, &asked)) {
        add_name(process, asked.hash);
    }
    struct scanned_path interpreter = {};
    bool have_interp = scan_path(interp, &interpreter);
    if (have_interp) {
        add_name(process, interpreter.hash);
    }

    if (have_interp) {
        char first = 0;
        bpf_probe_read_kernel(&first, 1, interp);
        if (first == '/' && interpreter.length < QV_PATH_SIZE) {
            bpf_probe_read_kernel_str(process->exe, QV_PATH_SIZE, interp);
        } else if (have_real) {
            bpf_probe_read_kernel_str(process->exe, QV_PATH_SIZE, real_name);
        }
    } else if (have_real) {
        bpf_probe_read_kernel_str(process->exe, QV_PATH_SIZE, real_name);
    }
    if (filename != interp && asked.length > 0) {
        char first = 0;
        bpf_probe_read_kernel(&first, 1, filename);
        if (first == '/' && asked.length < QV_PATH_SIZE) {
            bpf_probe_read_kernel_str(process->script, QV_PATH_SIZE, filename);
        } else {
            bpf_probe_read_kernel_str(process->script, QV_PATH_SIZE, filename + (asked.base & (QV_SCAN_SIZE - 1)));
        }
    }
    return 0;
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(quilvane_fork, struct task_struct* parent, struct task_struct* child)
{
    if (child->pid != child->tgid) {
        return 0; /* a thread shares its process's entry */
    }
    __u32 parent_tgid = parent->tgid;
    __u32 child_tgid = child->tgid;
    struct qv_process* names = bpf_map_lookup_elem(&processes, &parent_tgid);
    if (!names) {
        return 0;
    }
    bpf_map_update_elem(&processes, &child_tgid, names, BPF_ANY);
    struct qv_process* copy = bpf_map_lookup_elem(&processes, &child_tgid);
    if (copy) {
        copy->flags |= QV_PROCESS_INHERITED;
    }
    return 0;
}

/* Only kernels from 6.16 on pass group_dead to this tracepoint, and a program that reads an
 * argument the kernel lacks is refused with the whole object. do_exit() has already counted this
 * thread out of signal->live when the tracepoint fires, so zero there means the last thread of the
 * group is leaving, on every kernel. */
SEC("tp_btf/sched_process_exit")
int BPF_PROG(quilvane_exit, struct task_struct* task)
{
    if (BPF_CORE_READ(task, signal, live.counter) == 0) {
        __u32 tgid = task->tgid;
        bpf_map_delete_elem(&processes, &tgid);
    }
    return 0;
}

/* ---- blocking and reporting --------------------------------------------------------------------- */

static __always_inline bool listed(void* own, void* everyone, __u64 hash)
{
    return (own && bpf_map_lookup_elem(own, &hash)) || (everyone && bpf_map_lookup_elem(everyone, &hash));
}

/* The file name of the current executable, for a process the table does not know. comm is only 15
 * characters and can be rewritten by the process itself, so it serves only tasks without an mm
 * (kernel threads). */
struct exe_name {
    char name[QV_EXE_NAME_SIZE];
    __u64 hash;
};

static long exe_name_step(__u64 index, void* data)
{
    struct exe_name* exe = data;
    unsigned char c = exe->name[index & (QV_EXE_NAME_SIZE - 1)];
    if (c == 0) {
        return 1;
    }
    exe->hash = qv_name_hash_step(exe->hash, c);
    return 0;
}

static __always_inline void current_exe_name(struct exe_name* exe)
{
    struct task_struct* task = bpf_get_current_task_btf();
    const unsigned char* file = BPF_CORE_READ(task, mm, exe_file, f_path.dentry, d_name.name);
    if (!file || bpf_probe_read_kernel_str(exe->name, QV_EXE_NAME_SIZE, file) <= 1) {
        __builtin_memset(exe->name, 0, QV_EXE_NAME_SIZE);
        bpf_get_current_comm(exe->name, 16);
    }
    exe->hash = QV_NAME_HASH_BASIS;
    bpf_loop(QV_EXE_NAME_SIZE, exe_name_step, exe, 0);
}

static __always_inline bool process_blocked(const struct qv_process* process, __u32 uid, __u64 fallback)
{
    __u32 everyone_uid = QV_EVERYONE_UID;
    void* own = bpf_map_lookup_elem(&user_lists, &uid);
    void* everyone = bpf_map_lookup_elem(&user_lists, &everyone_uid);
    /* No early return for "no list at all": clang merges the two null tests into an OR of
     * pointers, which the verifier refuses; with no list the loop below makes no look-up anyway. */
    if (!process) {
        return listed(own, everyone, fallback);
    }
    __u32 count = process->name_count;
    for (__u32 i = 0; i < QV_PROCESS_NAMES; i++) {
        if (i >= count) {
            break;
        }
        if (listed(own, everyone, process->names[i])) {
            return true;
        }
    }
    return false;
}

/* True for the first datagram to a peer in udp_report_interval_ns. */
static __always_inline bool udp_flow_is_new(const struct qv_flow* e)
{
    struct udp_flow flow = {};
    flow.pid = e->pid;
    flow.port = e->port;
    flow.family = e->family;
    __builtin_memcpy(flow.address, e->address, sizeof(flow.address));

    __u64 now = bpf_ktime_get_ns();
    __u64* seen = bpf_map_lookup_elem(&udp_flows, &flow);
    if (seen && now - *seen < udp_report_interval_ns) {
        return false;
    }
    bpf_map_update_elem(&udp_flows, &flow, &now, BPF_ANY);
    return true;
}

/* Waking the reader for every event halves the rate it keeps up with; wake it only once enough is
 * pending or after a quiet spell, and let its poll timeout collect the tail of a burst. */
static __always_inline __u64 wakeup_flag(void)
{
    __u64 now = bpf_ktime_get_ns();
    if (bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) >= wakeup_bytes ||
        now - last_wakeup_ns >= wakeup_quiet_ns) {
        last_wakeup_ns = now;
        return BPF_RB_FORCE_WAKEUP;
    }
    return BPF_RB_NO_WAKEUP;
}

static __always_inline bool within_user_share(__u32 uid)
{
    __u64 now = bpf_ktime_get_ns();
    struct report_budget* budget = bpf_map_lookup_elem(&report_budgets, &uid);
    if (!budget) {
        struct report_budget fresh = {.refilled_ns = now, .tokens = user_report_burst - 1};
        bpf_map_update_elem(&report_budgets, &uid, &fresh, BPF_ANY);
        return true;
    }
    __u64 elapsed = now - budget->refilled_ns;
    __u64 tokens = budget->tokens;
    if (elapsed >= 1000000000ULL) {
        tokens = user_report_burst;
        budget->refilled_ns = now;
    } else {
        __u64 earned = elapsed * user_reports_per_second / 1000000000ULL;
        if (earned > 0) {
            tokens = tokens + earned > user_report_burst ? user_report_burst : tokens + earned;
            budget->refilled_ns = now;
        }
    }
    if (tokens == 0) {
        budget->tokens = 0;
        __sync_fetch_and_add(&over_user_share, 1);
        return false;
    }
    budget->tokens = tokens - 1;
    return true;
}

/* process may be NULL: then exe is `fallback` (may be NULL too: the service looks it up). */
static __always_inline void report(const struct qv_flow* flow, __u32 uid, const struct qv_process* process,
                                   const char* fallback)
{
    if (!within_user_share(uid)) {
        return;
    }
    struct qv_event* e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
    if (!e) {
        __sync_fetch_and_add(&dropped_events, 1);
        return;
    }
    __builtin_memcpy(&e->flow, flow, sizeof(e->flow));
    e->uid = uid;
    e->reserved = 0;
    if (process) {
        __builtin_memcpy(e->exe, process->exe, sizeof(e->exe));
        __builtin_memcpy(e->script, process->script, sizeof(e->script));
    } else {
        if (fallback) {
            __builtin_memcpy(e->exe, fallback, sizeof(e->exe));
        } else {
            e->exe[0] = 0;
        }
        e->script[0] = 0;
    }
    bpf_ringbuf_submit(e, wakeup_flag());
}

static __always_inline int handle_sock_addr(struct bpf_sock_addr* ctx, bool ipv6)
{
    __u64 pid_tgid = bpf_get_current_pid_tgid();
    __u32 tgid = pid_tgid >> 32;
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    struct qv_process* process = bpf_map_lookup_elem(&processes, &tgid);
    struct exe_name fallback;
    fallback.hash = 0;
    if (!process) {
        current_exe_name(&fallback);
    }

    struct qv_flow event = {};
    event.pid = tgid;
    event.protocol = ctx->protocol;
    event.direction = QV_DIRECTION_OUTGOING;
    event.port = (__u16)ctx->user_port;
    if (ipv6) {
        event.family = AF_INET6;
        __u32 words[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
        __builtin_memcpy(event.address, words, sizeof(words));
    } else {
        event.family = AF_INET;
        __u32 word = ctx->user_ip4;
        __builtin_memcpy(event.address, &word, sizeof(word));
    }
    bool blocked = process_blocked(process, uid, fallback.hash);
    event.verdict = blocked ? QV_VERDICT_BLOCKED : QV_VERDICT_ALLOWED;

    if (event.protocol != IPPROTO_UDP || udp_flow_is_new(&event)) {
        report(&event, uid, process, process ? NULL : fallback.name);
    }
    return blocked ? SOCK_ADDR_DENY : SOCK_ADDR_ALLOW;
}

SEC("cgroup/connect4")
int quilvane_connect4(struct bpf_sock_addr* ctx)
{
    return handle_sock_addr(ctx, false);
}

SEC("cgroup/connect6")
int quilvane_connect6(struct bpf_sock_addr* ctx)
{
    return handle_sock_addr(ctx, true);
}

SEC("cgroup/sendmsg4")
int quilvane_sendmsg4(struct bpf_sock_addr* ctx)
{
    return handle_sock_addr(ctx, false);
}

SEC("cgroup/sendmsg6")
int quilvane_sendmsg6(struct bpf_sock_addr* ctx)
{
    return handle_sock_addr(ctx, true);
}

/* ---- incoming connections ------------------------------------------------------------------------ */

static __always_inline int remember_binder(struct bpf_sock* sk)
{
    if (sk->protocol != IPPROTO_TCP) {
        return 1;
    }
    __u32 port = sk->src_port;
    struct qv_binder binder = {
        .tgid = bpf_get_current_pid_tgid() >> 32,
        .uid = (__u32)bpf_get_current_uid_gid(),
    };
    bpf_map_update_elem(&bound_ports, &port, &binder, BPF_ANY);
    return 1;
}

SEC("cgroup/post_bind4")
int quilvane_post_bind4(struct bpf_sock* sk)
{
    return remember_binder(sk);
}

SEC("cgroup/post_bind6")
int quilvane_post_bind6(struct bpf_sock* sk)
{
    return remember_binder(sk);
}

/* The handshake of an incoming connection has completed. This runs in softirq context, so the
 * process is the one that bound the local port; a port bound before the service started (or never
 * bound explicitly) is not reported. */
SEC("sockops")
int quilvane_sockops(struct bpf_sock_ops* skops)
{
    if (skops->op != BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB) {
        return 1;
    }
    __u32 port = skops->local_port;
    struct qv_binder* binder = bpf_map_lookup_elem(&bound_ports, &port);
    if (!binder) {
        return 1;
    }
    /* Every field is read up front in straight-line code: a load behind a branch lets clang keep a
     * pointer into the context, which the verifier refuses. */
    __u32 family = skops->family;
    __u32 remote_port = skops->remote_port;
    __u32 words[4];
    words[0] = skops->remote_ip6[0];
    asm volatile("" : "+r"(words[0]));
    words[1] = skops->remote_ip6[1];
    asm volatile("" : "+r"(words[1]));
    words[2] = skops->remote_ip6[2];
    asm volatile("" : "+r"(words[2]));
    words[3] = skops->remote_ip6[3];
    asm volatile("" : "+r"(words[3]));
    __u32 remote_ip4 = skops->remote_ip4;

    struct qv_flow event = {};
    event.pid = binder->tgid;
    event.protocol = IPPROTO_TCP;
    event.direction = QV_DIRECTION_INCOMING;
    event.verdict = QV_VERDICT_ALLOWED;
    event.family = family;
    /* remote_port holds the network-order port in its upper half on little-endian machines. */
    event.port = (__u16)(remote_port > 0xffff ? remote_port >> 16 : remote_port);
    if (family == AF_INET) {
        __builtin_memcpy(event.address, &remote_ip4, sizeof(remote_ip4));
    } else if (family == AF_INET6) {
        __builtin_memcpy(event.address, words, sizeof(words));
    } else {
        return 1;
    }
    __u32 tgid = binder->tgid;
    __u32 uid = binder->uid;
    report(&event, uid, bpf_map_lookup_elem(&processes, &tgid), NULL);
    return 1;
}
