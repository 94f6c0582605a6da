/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/* The sizes the eBPF programs, the service and the application must agree on. Plain C: included by
 * the BPF program (after vmlinux.h) and, through wire/ServiceLimits.h, by the C++ side. */
#ifndef QUILVANE_WIRE_KERNEL_SIZES_H
#define QUILVANE_WIRE_KERNEL_SIZES_H

/* The longest file name Linux allows (NAME_MAX): the longest name a list may hold, and the longest
 * path or name a record carries. */
#define QV_NAME_MAX 255

/* Room for such a name and its final NUL. */
#define QV_PATH_SIZE (QV_NAME_MAX + 1)

/* Users that may have a list in force at once, the list for every process included. */
#define QV_MAX_LIST_OWNERS 1024

#endif
