/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/* The one way the service and its kernel programs turn a program's file name into a block-list key:
 * 64-bit FNV-1a over the bytes of the last path component. Plain C, included by both sides.
 *
 * Lists hold hashes, not names, so that a process's whole set of names (up to QV_PROCESS_NAMES)
 * is a few fixed-size look-ups in the connect hooks. Two different names with the same hash are
 * the only way a hash can mislead: a program is then blocked that was not listed, never let through
 * when it was. */
#ifndef QUILVANE_FILTERD_NAME_HASH_H
#define QUILVANE_FILTERD_NAME_HASH_H

#define QV_NAME_HASH_BASIS 0xcbf29ce484222325ULL
#define QV_NAME_HASH_PRIME 0x100000001b3ULL

/* One byte of a path: a '/' starts the hash of the next component afresh, so walking a whole path
 * leaves the hash of its file name. */
static inline unsigned long long qv_name_hash_step(unsigned long long hash, unsigned char byte)
{
    if (byte == '/') {
        return QV_NAME_HASH_BASIS;
    }
    return (hash ^ byte) * QV_NAME_HASH_PRIME;
}

#ifdef __cplusplus
#include <cstdint>
#include <string_view>

namespace Filterd {

// The key of `name` in a block list; a path gives the key of its file name.
inline std::uint64_t nameHash(std::string_view name) {
    std::uint64_t hash = QV_NAME_HASH_BASIS;
    for (const char c : name) {
        hash = qv_name_hash_step(hash, static_cast<unsigned char>(c));
    }
    return hash;
}

} // namespace Filterd
#endif

#endif
