// SPDX-License-Identifier: GPL-2.0
/* The kernel half of quilvane-filterd.
 *
 * Four cgroup_sock_addr programs on the cgroup v2 root see every connect() and every addressed UDP
 * send of the machine. Each looks the caller's executable file name up in the block list and
 * refuses the call (the caller gets EPERM) when it is there; allowed and refused attempts go to the
 * service through a ring buffer. A tracing program on sys_exit reports the peers of accepted
 * connections, which the sock_addr hooks never see.
 */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "filterd/bpf/FilterShared.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define SOCK_ADDR_ALLOW 1
#define SOCK_ADDR_DENY 0

char LICENSE[] SEC("license") = "GPL";

/* Written by the loader (BpfFilter::open) into the skeleton's read-only data before load, so the
 * verifier sees them as constants; the values live there only. */
const volatile __u64 wakeup_bytes = 0;
const volatile __u64 wakeup_quiet_ns = 0;
const volatile __u64 udp_report_interval_ns = 0;

/* Read by the service through the skeleton's memory-mapped .bss. */
__u64 dropped_events = 0;
__u64 last_wakeup_ns = 0;

/* The names of one list. The service builds a new map of this shape for every command and swaps it
 * into block_list in one update, so a lookup sees either the old list or the new one, never a
 * half-filled map. */
struct blocked_names {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(key_size, sizeof(struct qv_exe_name));
    __uint(value_size, sizeof(__u8));
};

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __uint(max_entries, 1);
    __type(key, __u32);
    __array(values, struct blocked_names);
} block_list SEC(".maps");

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

/* The file name of the current executable. comm is only 15 characters and can be rewritten by the
 * process itself, so it serves only tasks without an mm (kernel threads). */
static __always_inline void current_exe_name(struct qv_exe_name* key)
{
    struct task_struct* task = bpf_get_current_task_btf();
    const unsigned char* name = BPF_CORE_READ(task, mm, exe_file, f_path.dentry, d_name.name);
    if (name && bpf_probe_read_kernel_str(key->name, sizeof(key->name), name) > 1) {
        return;
    }
    __builtin_memset(key->name, 0, sizeof(key->name));
    bpf_get_current_comm(key->name, 16);
}

static __always_inline bool name_blocked(const struct qv_exe_name* key)
{
    __u32 zero = 0;
    void* names = bpf_map_lookup_elem(&block_list, &zero);
    return names && bpf_map_lookup_elem(names, key);
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

static __always_inline void report(const struct qv_flow* flow, const struct qv_exe_name* exe)
{
    struct qv_event* e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
    if (!e) {
        __sync_fetch_and_add(&dropped_events, 1);
        return;
    }
    __builtin_memcpy(&e->flow, flow, sizeof(e->flow));
    __builtin_memcpy(e->exe, exe->name, sizeof(e->exe));
    bpf_ringbuf_submit(e, wakeup_flag());
}

static __always_inline int handle_sock_addr(struct bpf_sock_addr* ctx, bool ipv6)
{
    struct qv_exe_name exe = {};
    current_exe_name(&exe);

    struct qv_flow event = {};
    event.pid = bpf_get_current_pid_tgid() >> 32;
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
    bool blocked = name_blocked(&exe);
    event.verdict = blocked ? QV_VERDICT_BLOCKED : QV_VERDICT_ALLOWED;

    if (event.protocol != IPPROTO_UDP || udp_flow_is_new(&event)) {
        report(&event, &exe);
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

#if defined(__TARGET_ARCH_x86)
#define SYSCALL_NR(regs) ((regs)->orig_ax)
#define NR_ACCEPT 43
#define NR_ACCEPT4 288
#elif defined(__TARGET_ARCH_arm64)
#define SYSCALL_NR(regs) ((regs)->syscallno)
#define NR_ACCEPT 202
#define NR_ACCEPT4 242
#else
#error "quilvane_filter: no syscall numbers for this architecture"
#endif

/* accept() and accept4() return the new socket; its peer is the remote end of an incoming
 * connection. This runs on every system call's exit, so everything else leaves at once. */
SEC("tp_btf/sys_exit")
int BPF_PROG(quilvane_accept_exit, struct pt_regs* regs, long ret)
{
    if (ret < 0) {
        return 0;
    }
    long nr = SYSCALL_NR(regs);
    if (nr != NR_ACCEPT && nr != NR_ACCEPT4) {
        return 0;
    }

    struct task_struct* task = bpf_get_current_task_btf();
    struct fdtable* fdt = BPF_CORE_READ(task, files, fdt);
    if (!fdt || (__u64)ret >= BPF_CORE_READ(fdt, max_fds)) {
        return 0;
    }
    struct file** fds = BPF_CORE_READ(fdt, fd);
    struct file* file = NULL;
    bpf_probe_read_kernel(&file, sizeof(file), &fds[ret]);
    struct socket* sock = BPF_CORE_READ(file, private_data);
    struct sock* sk = BPF_CORE_READ(sock, sk);
    if (!sk || BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP) {
        return 0;
    }

    struct qv_flow event = {};
    event.pid = bpf_get_current_pid_tgid() >> 32;
    event.protocol = IPPROTO_TCP;
    event.direction = QV_DIRECTION_INCOMING;
    event.verdict = QV_VERDICT_ALLOWED;
    event.family = BPF_CORE_READ(sk, __sk_common.skc_family);
    event.port = BPF_CORE_READ(sk, __sk_common.skc_dport);
    if (event.family == AF_INET) {
        __u32 address = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        __builtin_memcpy(event.address, &address, sizeof(address));
    } else if (event.family == AF_INET6) {
        BPF_CORE_READ_INTO(&event.address, sk, __sk_common.skc_v6_daddr.in6_u.u6_addr8);
    } else {
        return 0;
    }

    struct qv_exe_name exe = {};
    current_exe_name(&exe);
    report(&event, &exe);
    return 0;
}
