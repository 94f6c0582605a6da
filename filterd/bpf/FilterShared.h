/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/* What the kernel programs and the service share: the ring-buffer event, the process table's
 * entries and the map keys. Plain C, included by quilvane_filter.bpf.c (with vmlinux.h) and by the
 * C++ side (with <linux/types.h>). */
#ifndef QUILVANE_FILTERD_FILTER_SHARED_H
#define QUILVANE_FILTERD_FILTER_SHARED_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#include "wire/KernelSizes.h"

/* Room for the file name of an executable and its final NUL. */
#define QV_EXE_NAME_SIZE QV_PATH_SIZE

/* The names one process is known by. When a long chain of execs fills the set, the oldest names go
 * first: an exec adds at most six, so the program running now, its script and the file a link led
 * to are always among them. */
#define QV_PROCESS_NAMES 16

/* The key of the list that applies to every process: root's and the administrators'. No process
 * can have this uid ((uid_t)-1 is "no change" to setresuid). */
#define QV_EVERYONE_UID 0xffffffffu

enum qv_direction { QV_DIRECTION_INCOMING = 0, QV_DIRECTION_OUTGOING = 1 };
enum qv_verdict { QV_VERDICT_ALLOWED = 0, QV_VERDICT_BLOCKED = 1 };

/* The next exec replaces the names instead of adding to them: set on the copy a fork gives the
 * child, so a child that never execs keeps its parent's names. */
#define QV_PROCESS_INHERITED 1u

/* The process table's one entry that is no process (no tgid reaches it): its `verdict` holds the
 * latest list generation, so that a service taking over the pinned maps goes on past every
 * generation a cached verdict may name. */
#define QV_GENERATION_KEY 0xffffffffu

/* One process (thread group) in the process table, keyed by its tgid. */
struct qv_process {
    __u64 names[QV_PROCESS_NAMES]; /* qv_name_hash_step over each file name */
    __u32 name_count;
    __u32 flags;
    __u32 oldest; /* the slot the next name replaces once all are taken */
    __u32 reserved;
    __u64 verdict; /* the cached verdict on these names: see process_blocked() */
    char exe[QV_PATH_SIZE];    /* full path of the latest program, else its file name */
    char script[QV_PATH_SIZE]; /* the script it runs, empty when none */
};

/* The process a socket belongs to: the one that bound it or connected it. Kept in the socket's own
 * storage and copied to every connection a listening socket accepts, so an accepted connection is
 * its listener's owner's, and traffic to a socket of a program blocked later can be refused. */
struct qv_socket_owner {
    __u32 tgid;
    __u32 uid;
    __u64 names[QV_PROCESS_NAMES];
    __u32 name_count;
    __u32 blocked_generation; /* list_generation + 1 when `blocked` was decided */
    __u32 blocked;
    __u32 asks_dns; /* it sent to port 53: an unconnected socket whose answers are worth a look */
    __u64 last_refusal_ns; /* refused traffic is reported once a second per socket */
};

/* One connection, as the kernel saw it. Address and port are in network byte order; family is the
 * native AF_INET / AF_INET6. */
struct qv_flow {
    __u32 pid;
    __u8 family;
    __u8 protocol;
    __u8 direction;
    __u8 verdict;
    __u16 port;
    __u16 reserved;
    __u8 address[16];
};

/* One ring-buffer record: the connection, its process's owner and what that process runs. */
struct qv_event {
    struct qv_flow flow;
    __u32 uid;
    __u32 reserved;
    char exe[QV_PATH_SIZE];
    char script[QV_PATH_SIZE];
};

/* Room for the first bytes of a DNS answer: the question and the first answers, which hold the
 * name and its addresses in all but the longest replies. A power of two, so a mask can bound it. */
#define QV_DNS_CAPTURE 1024

/* A DNS answer (from port 53) that reached a socket, and the process the socket belongs to. Over
 * TCP the message starts with its two-byte length, as on the wire. Shares the ring buffer with the
 * events, so an answer is always read before the connection made with it; told apart by size. */
struct qv_dns_answer {
    __u32 tgid;
    __u32 uid;
    __u16 length; /* bytes of `message` copied */
    __u8 protocol;
    __u8 reserved[5];
    __u8 message[QV_DNS_CAPTURE];
};

#endif
