/* What the kernel programs and the service share: the ring-buffer event and the map keys. Plain C,
 * included by quilvane_filter.bpf.c (with vmlinux.h) and by the C++ side (with <linux/types.h>). */
#ifndef QUILVANE_FILTERD_FILTER_SHARED_H
#define QUILVANE_FILTERD_FILTER_SHARED_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

/* Room for the longest file name Linux allows (NAME_MAX 255) and its final NUL. */
#define QV_EXE_NAME_SIZE 256

enum qv_direction { QV_DIRECTION_INCOMING = 0, QV_DIRECTION_OUTGOING = 1 };
enum qv_verdict { QV_VERDICT_ALLOWED = 0, QV_VERDICT_BLOCKED = 1 };

/* Key of the blocked-names map: the executable's file name, NUL-padded to the full size so that
 * equal names hash equally. */
struct qv_exe_name {
    char name[QV_EXE_NAME_SIZE];
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

/* One ring-buffer record: the connection and the executable that made it. */
struct qv_event {
    struct qv_flow flow;
    char exe[QV_EXE_NAME_SIZE];
};

#endif
