// SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause
/* The kernel half of quilvane-filterd.
 *
 * Three scheduler tracepoints (exec, fork, exit) keep a table of the names of every program each
 * process has run since it was forked: the program, the path it was asked by, its interpreter, the
 * script an interpreter was given, and (through the exec security hook, where the kernel runs BPF
 * LSM programs) the files links led to. The table has a place for every task the machine may have,
 * so no other process can push an entry out.
 *
 * Four cgroup_sock_addr programs see every connect() and every addressed UDP send; each looks the
 * caller's names up in the list of the caller's user and in the list for everyone, and refuses the
 * call (EPERM) on a match. post_bind4/6 refuse a listed program's bind, so it cannot listen or
 * receive; the owner of every bound or connected socket is kept in the socket's storage (and
 * copied to the connections a listener accepts), so accepted connections are reported as their
 * listener's owner's, and cgroup_skb ingress and egress drop the traffic of a socket whose owner is
 * blocked later: a block cuts what is already open. Everything seen goes to the service through a
 * ring buffer.
 */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
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

/* PATH_MAX: no path that exec accepts is longer. */
#define QV_SCAN_SIZE 4096
/* The part of an interpreter's command line searched for its script. */
#define QV_ARGS_SIZE 1024

char LICENSE[] SEC("license") = "Dual BSD/GPL";

/* Written by the loader (BpfFilter::configureKernelSide) into the skeleton's read-only data before load, so the
 * verifier sees them as constants; the values live there only. */
const volatile __u64 wakeup_bytes = 0;
const volatile __u64 udp_report_interval_ns = 0;
const volatile __u64 user_reports_per_second = 0;
const volatile __u64 user_report_burst = 0;

/* Read by the service through the skeleton's memory-mapped .bss. */
__u64 dropped_events = 0;
/* Written by the service whenever a list changes, counting on from where an earlier instance left
 * it: every cached verdict (a process's, a socket's) is then decided again. */
__u32 list_generation = 0;
__u64 over_user_share = 0;
/* Set by the program that wakes the service; cleared by the service when a look finds the ring
 * empty. While it is set the service collects records on a short timer of its own, so a stream of
 * records costs the programs that make them no wake-up (an interrupt and a context switch each). */
__u32 service_awake = 0;

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

/* tgid -> the process's names. Not least-recently-used: nothing but the process's exit removes an
 * entry. The loader sizes it to the machine's limit on tasks (kernel.threads-max), so every process
 * that can exist at once has its place and no user can push another's out. (Task storage would say
 * the same more directly, but the connect hooks of 6.1 cannot read it.) */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 1); /* set by the loader */
    __type(key, __u32);
    __type(value, struct qv_process);
} processes SEC(".maps");

/* Names the exec security hook saw for an exec still under way, by the exec'ing task; the exec
 * tracepoint moves them into the process once the exec has succeeded. */
struct pending_exec {
    __u64 names[4];
    __u32 count;
    __u32 reserved;
};

struct {
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct pending_exec);
} pending_execs SEC(".maps");

/* Socket -> its owner; BPF_F_CLONE copies it to each connection a listening socket accepts. */
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC | BPF_F_CLONE);
    __type(key, int);
    __type(value, struct qv_socket_owner);
} socket_owners SEC(".maps");

/* The file names of interpreters, whose first argument that is not an option names their script;
 * the service fills it before it attaches anything. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 256);
    __type(key, __u64);
    __type(value, __u8);
} interpreters SEC(".maps");

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

/* Where the scan of an interpreter's command line stands. It lives in the per-CPU scratch map, not on
 * the stack: the verifiers of kernels before 6.8 check a bpf_loop callback once, with the state of
 * the call, and would drop as unreachable every branch that a zeroed stack value rules out. */
struct args_scan {
    __u32 arg_start;   /* offset of the argument being read */
    __u32 argument;    /* its index */
    __u32 skip_next;   /* the next argument is an option's value */
    __u32 take_next;   /* after "--": the next argument is the script, whatever it looks like */
    __u32 found;       /* the script starts at `script` */
    __u32 script;
    __u32 base;        /* offset of the script's file name */
    __u32 reserved;
    __u64 hash;
};

/* Room to read one path in the exec tracepoint, which runs with preemption off: only it uses this,
 * so nothing else on the CPU can overwrite it half-way. */
struct exec_scratch {
    char path[QV_SCAN_SIZE];
    char args[QV_ARGS_SIZE * 2]; /* room after the command line: a copy of its last word stops there */
    struct args_scan scan;
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
    if (read <= 1) {
        return false;
    }
    out->hash = QV_NAME_HASH_BASIS;
    out->base = 0;
    out->length = read - 1;
    bpf_loop(out->length, scan_step, out, 0);
    return true;
}

/* Adds a name; once all slots are taken the oldest name makes room, never one of this exec's. */
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
    bool full = count >= QV_PROCESS_NAMES;
    __u64 slot = full ? process->oldest : count;
    /* Masked where the verifier sees it: clang drops a mask it can prove redundant. */
    asm volatile("%[slot] &= %[mask]" : [slot] "+r"(slot) : [mask] "i"(QV_PROCESS_NAMES - 1));
    process->names[slot] = hash;
    if (full) {
        process->oldest = (slot + 1) & (QV_PROCESS_NAMES - 1);
    } else {
        process->name_count = count + 1;
    }
}

static __always_inline struct qv_process* process_of(__u32 tgid, bool create)
{
    struct qv_process* process = bpf_map_lookup_elem(&processes, &tgid);
    if (process || !create) {
        return process;
    }
    bpf_map_update_elem(&processes, &tgid, &empty_process, BPF_NOEXIST);
    return bpf_map_lookup_elem(&processes, &tgid);
}

/* ---- the script an interpreter was given ------------------------------------------------------ */

/* Walks the command line byte by byte; at the start of each argument it decides what that argument
 * is. The first argument that is not an option is the script; an option that makes the interpreter
 * run code given on the command line (-c, -e, -m, ...) means there is none. */

static __always_inline bool is_option_with_code(const char* a)
{
    /* -c (sh, bash, python), -m (python), -e and -E (perl, ruby, node), -p and --eval/--print
     * (node, perl), -r (php). A plain "-" reads standard input. */
    if (a[0] != '-') {
        return false;
    }
    if (a[1] == 0) {
        return true;
    }
    if (a[2] == 0) {
        char c = a[1];
        return c == 'c' || c == 'm' || c == 'e' || c == 'E' || c == 'p' || c == 'r';
    }
    return a[1] == '-' && ((a[2] == 'e' && a[3] == 'v' && a[4] == 'a' && a[5] == 'l' && a[6] == 0) ||
                           (a[2] == 'p' && a[3] == 'r' && a[4] == 'i' && a[5] == 'n' && a[6] == 't' && a[7] == 0));
}

/* Options whose value is the next argument: -W, -X (python), -o, -O (sh, bash), -I (ruby, perl),
 * --require (node). */
static __always_inline bool takes_value(const char* a)
{
    if (a[0] != '-' && a[0] != '+') {
        return false;
    }
    if (a[1] != 0 && a[2] == 0) {
        char c = a[1];
        return c == 'W' || c == 'X' || c == 'o' || c == 'O' || c == 'I';
    }
    return a[1] == '-' && a[2] == 'r' && a[3] == 'e' && a[4] == 'q' && a[5] == 'u' && a[6] == 'i' &&
           a[7] == 'r' && a[8] == 'e' && a[9] == 0;
}

/* What the argument starting at `at` is: the script, an option, or the end of the search. */
static __always_inline void classify_argument(struct args_scan* scan, const char* args, __u32 at)
{
    char a[12];
    for (int k = 0; k < 12; k++) {
        a[k] = args[(at + k) & (QV_ARGS_SIZE - 1)];
    }
    bool script = false;
    if (scan->take_next) {
        script = true;
    } else if (scan->skip_next) {
        scan->skip_next = 0;
    } else if (a[0] == '-' && a[1] == '-' && a[2] == 0) {
        scan->take_next = 1;
    } else if (is_option_with_code(a)) {
        scan->argument = 0xffffffffu; /* no script */
    } else if (takes_value(a)) {
        scan->skip_next = 1;
    } else if (a[0] != '-' && a[0] != '+') {
        script = true;
    }
    if (script) {
        scan->found = 1;
        scan->script = at;
        scan->base = at;
        scan->hash = QV_NAME_HASH_BASIS;
    }
}

static long args_step(__u64 index, void* data)
{
    __u32 zero = 0;
    struct exec_scratch* scratch = bpf_map_lookup_elem(&exec_scratch, &zero);
    if (!scratch) {
        return 1;
    }
    struct args_scan* scan = &scratch->scan;
    if (scan->argument == 0xffffffffu) {
        return 1;
    }
    __u32 at = index & (QV_ARGS_SIZE - 1);
    unsigned char c = scratch->args[at];
    if (scan->found) {
        if (c == 0) {
            return 1;
        }
        if (c == '/') {
            scan->base = at + 1;
        }
        scan->hash = qv_name_hash_step(scan->hash, c);
        return 0;
    }
    if (at == scan->arg_start && scan->argument > 0 && c != 0) {
        classify_argument(scan, scratch->args, at);
        if (scan->found) {
            if (c == '/') {
                scan->base = at + 1;
            }
            scan->hash = qv_name_hash_step(scan->hash, c);
        }
    }
    if (c == 0) {
        scan->arg_start = at + 1;
        scan->argument++;
    }
    return 0;
}

/* For an interpreter: the script named on its command line, added to the process's names and kept
 * as its script (the full path where it is absolute and fits, else its file name). */
static __always_inline void add_interpreted_script(struct task_struct* task, struct qv_process* process)
{
    __u32 zero = 0;
    struct exec_scratch* scratch = bpf_map_lookup_elem(&exec_scratch, &zero);
    if (!scratch) {
        return;
    }
    unsigned long start = BPF_CORE_READ(task, mm, arg_start);
    unsigned long end = BPF_CORE_READ(task, mm, arg_end);
    if (end <= start) {
        return;
    }
    __u64 length = end - start;
    if (length > QV_ARGS_SIZE) {
        length = QV_ARGS_SIZE;
    }
    if (bpf_probe_read_user(scratch->args, length, (void*)start) != 0) {
        return;
    }
    /* A command line cut at QV_ARGS_SIZE ends here too, so a copy of its last word stops. */
    scratch->args[length & (QV_ARGS_SIZE * 2 - 1)] = 0;
    struct args_scan* scan = &scratch->scan;
    __builtin_memset(scan, 0, sizeof(*scan));
    bpf_loop(length, args_step, NULL, 0);
    if (!scan->found || scan->hash == QV_NAME_HASH_BASIS) {
        return;
    }
    add_name(process, scan->hash);
    __u32 from = scratch->args[scan->script & (QV_ARGS_SIZE - 1)] == '/' ? scan->script : scan->base;
    long copied = bpf_probe_read_kernel_str(process->script, QV_PATH_SIZE, &scratch->args[from & (QV_ARGS_SIZE - 1)]);
    if (copied >= QV_PATH_SIZE) {
        /* Too long for the field: keep the file name, which always fits. */
        bpf_probe_read_kernel_str(process->script, QV_PATH_SIZE, &scratch->args[scan->base & (QV_ARGS_SIZE - 1)]);
    }
}

/* ---- the process table ------------------------------------------------------------------------ */

/* Where the kernel runs BPF LSM programs: the file each step of an exec checks, links followed.
 * For a script started through a link that is the script itself (tool.py for /usr/local/bin/tool),
 * which no path of the finished exec names. */
SEC("lsm/bprm_check_security")
int BPF_PROG(quilvane_bprm_check, struct linux_binprm* bprm)
{
    struct task_struct* task = bpf_get_current_task_btf();
    struct pending_exec* pending = bpf_task_storage_get(&pending_execs, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (!pending) {
        return 0;
    }
    struct scanned_path checked = {};
    const char* name = (const char*)BPF_CORE_READ(bprm, file, f_path.dentry, d_name.name);
    if (scan_path(name, &checked)) {
        __u32 slot = pending->count;
        if (slot < 4) {
            pending->names[slot & 3] = checked.hash;
            pending->count = slot + 1;
        }
    }
    return 0;
}

/* filename is the path the caller asked for (the script, for a #! file); interp the program the
 * kernel ends up running for it (the interpreter; the same string as filename for a plain program);
 * file the file actually opened, with every symbolic link followed. Each gives a name, as do the
 * files the security hook saw and an interpreter's script. */
SEC("tp_btf/sched_process_exec")
int BPF_PROG(quilvane_exec, struct task_struct* task, pid_t old_pid, struct linux_binprm* bprm)
{
    struct qv_process* process = process_of(task->tgid, true);
    if (!process) {
        return 0;
    }
    if (process->flags & QV_PROCESS_INHERITED) {
        process->flags &= ~QV_PROCESS_INHERITED;
        process->name_count = 0;
        process->oldest = 0;
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

    struct pending_exec* pending = bpf_task_storage_get(&pending_execs, task, 0, 0);
    if (pending) {
        for (__u32 i = 0; i < 4; i++) {
            if (i < pending->count) {
                add_name(process, pending->names[i]);
            }
        }
        bpf_task_storage_delete(&pending_execs, task);
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
    } else if (have_real && bpf_map_lookup_elem(&interpreters, &real.hash)) {
        add_interpreted_script(task, process);
    }
    process->verdict = 0;
    return 0;
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(quilvane_fork, struct task_struct* parent, struct task_struct* child)
{
    if (child->pid != child->tgid) {
        return 0; /* a thread shares its process's entry */
    }
    __u32 child_tgid = child->tgid;
    struct qv_process* names = process_of(parent->tgid, false);
    if (!names) {
        return 0;
    }
    bpf_map_update_elem(&processes, &child_tgid, names, BPF_ANY);
    struct qv_process* copy = process_of(child_tgid, false);
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

static __always_inline bool names_blocked(const __u64* names, __u32 count, __u32 uid)
{
    __u32 everyone_uid = QV_EVERYONE_UID;
    void* own = bpf_map_lookup_elem(&user_lists, &uid);
    void* everyone = bpf_map_lookup_elem(&user_lists, &everyone_uid);
    /* No early return for "no list at all": clang merges the two null tests into an OR of
     * pointers, which the verifier refuses; with no list the loop below makes no look-up anyway. */
    for (__u32 i = 0; i < QV_PROCESS_NAMES; i++) {
        if (i >= count) {
            break;
        }
        if (listed(own, everyone, names[i])) {
            return true;
        }
    }
    return false;
}

/* What a process's cached verdict holds besides the verdict itself (bit 0): the user it was decided
 * for and the list generation it was decided under (never 0, so a new entry holds none). */
static __always_inline __u64 verdict_key(__u32 uid)
{
    return ((__u64)uid << 32) | ((__u64)((list_generation & 0x3fffffff) + 1) << 1);
}

/* A process that connects or sends often pays for the look-ups in the lists once per list change,
 * not once per call. Key and verdict share one 64-bit word: threads of one process that decide at
 * once (even under different users) each store a whole word, never one's user with another's
 * verdict. An exec clears it, since the names change. */
static __always_inline bool process_blocked(struct qv_process* process, __u32 uid, __u64 fallback)
{
    if (!process) {
        return names_blocked(&fallback, 1, uid);
    }
    __u64 key = verdict_key(uid);
    __u64 cached = *(volatile __u64*)&process->verdict;
    if ((cached & ~1ULL) == key) {
        return cached & 1;
    }
    bool blocked = names_blocked(process->names, process->name_count, uid);
    *(volatile __u64*)&process->verdict = key | blocked;
    return blocked;
}

/* The caller's real uid, read from its credentials: what bpf_get_current_uid_gid() gives (a kernel
 * uid is the uid of the initial user namespace), without the helper's mapping on every call. */
static __always_inline __u32 current_uid(void)
{
    struct task_struct* task = bpf_get_current_task_btf();
    return task->cred->uid.val;
}

static __always_inline struct qv_process* current_process(void)
{
    return process_of(bpf_get_current_pid_tgid() >> 32, false);
}

/* True for the first datagram to a peer in udp_report_interval_ns. The programs keep time with the
 * coarse clock: a tick is fine enough for intervals of seconds, and reading it costs no clock source
 * (which, in a virtual machine, may mean a trip to the hypervisor). */
static __always_inline bool udp_flow_is_new(const struct qv_flow* e)
{
    struct udp_flow flow = {};
    flow.pid = e->pid;
    flow.port = e->port;
    flow.family = e->family;
    __builtin_memcpy(flow.address, e->address, sizeof(flow.address));

    __u64 now = bpf_ktime_get_coarse_ns();
    __u64* seen = bpf_map_lookup_elem(&udp_flows, &flow);
    if (seen && now - *seen < udp_report_interval_ns) {
        return false;
    }
    bpf_map_update_elem(&udp_flows, &flow, &now, BPF_ANY);
    return true;
}

/* The first record after a quiet spell wakes the service at once; the rest of a stream waits for
 * its timer, unless the ring fills faster than that drains it. */
static __always_inline __u64 wakeup_flag(void)
{
    if (bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) >= wakeup_bytes) {
        return BPF_RB_FORCE_WAKEUP;
    }
    if (*(volatile __u32*)&service_awake) {
        return BPF_RB_NO_WAKEUP;
    }
    service_awake = 1;
    return BPF_RB_FORCE_WAKEUP;
}

static __always_inline bool within_user_share(__u32 uid)
{
    __u64 now = bpf_ktime_get_coarse_ns();
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

/* ---- sockets and their owners ----------------------------------------------------------------- */

/* Marks `sk` as the current process's. A socket keeps its first owner: one handed to another
 * process keeps the identity of the one that opened it. */
static __always_inline void own_socket(struct bpf_sock* sk, const struct qv_process* process, __u32 uid)
{
    if (!sk || !process) {
        return;
    }
    struct qv_socket_owner* owner = bpf_sk_storage_get(&socket_owners, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!owner || owner->tgid != 0) {
        return;
    }
    owner->tgid = bpf_get_current_pid_tgid() >> 32;
    owner->uid = uid;
    __builtin_memcpy(owner->names, process->names, sizeof(owner->names));
    owner->name_count = process->name_count;
}

#define QV_DNS_PORT 53

/* A socket that sends to port 53 is a resolver's: its unconnected answers are worth a look. */
static __always_inline void mark_dns_client(struct bpf_sock* sk)
{
    if (!sk) {
        return;
    }
    struct qv_socket_owner* owner = bpf_sk_storage_get(&socket_owners, sk, 0, 0);
    if (owner) {
        owner->asks_dns = 1;
    }
}

/* Whether traffic of a socket whose owner is blocked now must go; decided once per list change. */
static __always_inline bool owner_blocked(struct qv_socket_owner* owner)
{
    __u32 generation = list_generation + 1;
    if (owner->blocked_generation != generation) {
        owner->blocked = names_blocked(owner->names, owner->name_count, owner->uid);
        owner->blocked_generation = generation;
    }
    return owner->blocked;
}

static __always_inline void fill_peer(struct qv_flow* flow, __u32 family, const __u32* ip6, __u32 ip4)
{
    flow->family = family;
    if (family == AF_INET6) {
        __builtin_memcpy(flow->address, ip6, 16);
    } else {
        __builtin_memcpy(flow->address, &ip4, sizeof(ip4));
    }
}

/* ---- outgoing ------------------------------------------------------------------------------------ */

static __always_inline int handle_sock_addr(struct bpf_sock_addr* ctx, bool ipv6)
{
    __u64 pid_tgid = bpf_get_current_pid_tgid();
    __u32 tgid = pid_tgid >> 32;
    __u32 uid = current_uid();
    struct qv_process* process = current_process();
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
    if (!blocked) {
        own_socket(ctx->sk, process, uid);
        if (event.port == bpf_htons(QV_DNS_PORT)) {
            mark_dns_client(ctx->sk);
        }
    }

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

/* ---- incoming ------------------------------------------------------------------------------------ */

/* A listed program may not bind: it can then neither listen nor receive datagrams on a port of its
 * own. Anyone else's socket is marked as theirs, for the reports of what it accepts. */
static __always_inline int check_bind(struct bpf_sock* sk)
{
    __u32 uid = current_uid();
    struct qv_process* process = current_process();
    if (!process) {
        return 1;
    }
    if (process_blocked(process, uid, 0)) {
        struct qv_flow event = {};
        event.pid = bpf_get_current_pid_tgid() >> 32;
        event.protocol = sk->protocol;
        event.direction = QV_DIRECTION_INCOMING;
        event.verdict = QV_VERDICT_BLOCKED;
        event.family = sk->family;
        report(&event, uid, process, NULL);
        return 0;
    }
    own_socket(sk, process, uid);
    return 1;
}

SEC("cgroup/post_bind4")
int quilvane_post_bind4(struct bpf_sock* sk)
{
    return check_bind(sk);
}

SEC("cgroup/post_bind6")
int quilvane_post_bind6(struct bpf_sock* sk)
{
    return check_bind(sk);
}

/* The handshake of an incoming connection has completed. This runs in softirq context; the
 * connection's owner is its listening socket's, whose storage the kernel copied to it. */
SEC("sockops")
int quilvane_sockops(struct bpf_sock_ops* skops)
{
    if (skops->op != BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB) {
        return 1;
    }
    struct bpf_sock* sk = skops->sk;
    if (!sk) {
        return 1;
    }
    struct qv_socket_owner* owner = bpf_sk_storage_get(&socket_owners, sk, 0, 0);
    if (!owner) {
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
    if (family != AF_INET && family != AF_INET6) {
        return 1;
    }

    struct qv_flow event = {};
    event.pid = owner->tgid;
    event.protocol = IPPROTO_TCP;
    event.direction = QV_DIRECTION_INCOMING;
    event.verdict = QV_VERDICT_ALLOWED;
    /* remote_port holds the network-order port in its upper half on little-endian machines. */
    event.port = (__u16)(remote_port > 0xffff ? remote_port >> 16 : remote_port);
    fill_peer(&event, family, words, remote_ip4);
    report(&event, owner->uid, NULL, NULL);
    return 1;
}

/* ---- names the program looked up ---------------------------------------------------------------- */

#define QV_DNS_HEADER 12

/* Where the transport header of an incoming packet starts (the data starts at the network header),
 * and its source port; 0 when the packet is not one this reads. */
static __always_inline __u32 transport_offset(struct __sk_buff* skb, __u32 protocol)
{
    __u8 first;
    if (bpf_skb_load_bytes(skb, 0, &first, 1) != 0) {
        return 0;
    }
    if (first >> 4 == 4) {
        return (first & 0x0f) * 4;
    }
    /* IPv6 with the transport header right after the fixed one; extension headers are rare on DNS
     * answers and are not followed. */
    __u8 next;
    if (first >> 4 != 6 || bpf_skb_load_bytes(skb, 6, &next, 1) != 0 || next != protocol) {
        return 0;
    }
    return 40;
}

/* Copies a DNS answer that reached `sk` to the service, which learns from it which name the
 * owner's addresses came from. Every other packet returns after socket fields alone are read: a
 * connected socket's peer port says it all, and only an unconnected UDP socket that sent to port 53
 * (a resolver that uses sendto) needs a look at the packet's own source port. */
static __always_inline void copy_dns_answer(struct __sk_buff* skb, struct bpf_sock* sk,
                                            const struct qv_socket_owner* owner)
{
    __u32 protocol = sk->protocol;
    __u32 peer_port = sk->dst_port;
    if (protocol != IPPROTO_UDP && protocol != IPPROTO_TCP) {
        return;
    }
    bool unconnected_resolver = protocol == IPPROTO_UDP && (__u16)peer_port == 0 && owner->asks_dns;
    if ((__u16)peer_port != bpf_htons(QV_DNS_PORT) && !unconnected_resolver) {
        return;
    }
    __u32 offset = transport_offset(skb, protocol);
    if (offset == 0) {
        return;
    }
    __be16 source_port;
    if (bpf_skb_load_bytes(skb, offset, &source_port, sizeof(source_port)) != 0 ||
        source_port != bpf_htons(QV_DNS_PORT)) {
        return;
    }
    if (protocol == IPPROTO_UDP) {
        offset += 8;
    } else {
        __u8 data_offset;
        if (bpf_skb_load_bytes(skb, offset + 12, &data_offset, 1) != 0) {
            return;
        }
        offset += (data_offset >> 4) * 4;
    }
    __u32 length = skb->len > offset ? skb->len - offset : 0;
    if (length < QV_DNS_HEADER || !within_user_share(owner->uid)) {
        return;
    }
    if (length > QV_DNS_CAPTURE) {
        length = QV_DNS_CAPTURE;
    }
    struct qv_dns_answer* e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
    if (!e) {
        __sync_fetch_and_add(&dropped_events, 1);
        return;
    }
    e->tgid = owner->tgid;
    e->uid = owner->uid;
    e->protocol = protocol;
    /* The mask, applied in the register the helper gets, is what bounds the size for the verifier
     * (1 to QV_DNS_CAPTURE): clang may otherwise hand it a copy spilled before the checks above. */
    __u32 last = length - 1;
    asm volatile("%[last] &= %[mask]" : [last] "+r"(last) : [mask] "i"(QV_DNS_CAPTURE - 1));
    length = last + 1;
    e->length = length;
    if (bpf_skb_load_bytes(skb, offset, e->message, length) != 0) {
        bpf_ringbuf_discard(e, 0);
        return;
    }
    bpf_ringbuf_submit(e, wakeup_flag());
}

/* Traffic of a socket whose owner is blocked goes nowhere, both ways: a block cuts connections
 * that were open before it and a listener or UDP socket bound before it. Everything else passes
 * after one storage look-up; the verdict is cached per socket until the lists change. */
static __always_inline int filter_skb(struct __sk_buff* skb, bool ingress)
{
    struct bpf_sock* sk = skb->sk;
    if (!sk) {
        return 1;
    }
    sk = bpf_sk_fullsock(sk);
    if (!sk) {
        return 1;
    }
    struct qv_socket_owner* owner = bpf_sk_storage_get(&socket_owners, sk, 0, 0);
    if (!owner) {
        return 1;
    }
    if (!owner_blocked(owner)) {
        if (ingress) {
            copy_dns_answer(skb, sk, owner);
        }
        return 1;
    }
    __u64 now = bpf_ktime_get_coarse_ns();
    if (ingress && now - owner->last_refusal_ns >= 1000000000ULL) {
        owner->last_refusal_ns = now;
        /* One field at a time, each kept in a register: the verifier refuses arithmetic on the
         * socket pointer, which reading the array in one go would make. */
        __u32 words[4];
        words[0] = sk->dst_ip6[0];
        asm volatile("" : "+r"(words[0]));
        words[1] = sk->dst_ip6[1];
        asm volatile("" : "+r"(words[1]));
        words[2] = sk->dst_ip6[2];
        asm volatile("" : "+r"(words[2]));
        words[3] = sk->dst_ip6[3];
        asm volatile("" : "+r"(words[3]));
        __u32 ip4 = sk->dst_ip4;
        __u32 port = sk->dst_port;
        __u32 family = sk->family;
        __u32 protocol = sk->protocol;
        struct qv_flow event = {};
        event.pid = owner->tgid;
        event.protocol = protocol;
        event.direction = QV_DIRECTION_INCOMING;
        event.verdict = QV_VERDICT_BLOCKED;
        event.port = (__u16)port; /* network order, as a flow keeps it */
        fill_peer(&event, family, words, ip4);
        report(&event, owner->uid, NULL, NULL);
    }
    return 0;
}

SEC("cgroup_skb/ingress")
int quilvane_ingress(struct __sk_buff* skb)
{
    return filter_skb(skb, true);
}

SEC("cgroup_skb/egress")
int quilvane_egress(struct __sk_buff* skb)
{
    return filter_skb(skb, false);
}
