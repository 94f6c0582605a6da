// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <sys/uio.h>

namespace Filterd {

// The records waiting for one client, oldest first. Memory is taken in blocks as records arrive, up
// to a bound in records and one in bytes, and every block but one is given back as soon as it has
// been sent: a client costs one block while it keeps up, and a burst's memory is returned when the
// burst is over instead of staying reserved for the client's whole life.
class RecordQueue final {
public:
    static constexpr std::size_t kBlockBytes = 16 * 1024;
    // The longest record a queue holds: the record with its largest extension.
    static constexpr std::size_t kMaxRecordBytes = Quilvane::Wire::kRecordBufferSize;

    RecordQueue(std::size_t maxRecords, std::size_t maxBytes);

    // Appends a copy; false when the queue is at a bound or the record is longer than kMaxRecordBytes.
    bool push(const std::uint8_t* record, std::size_t length);

    // The oldest records, one iovec each, without removing them; returns how many were filled.
    std::size_t peek(std::span<iovec> out) const;
    // Removes the `count` oldest records.
    void pop(std::size_t count);

    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    std::size_t allocatedBytes() const { return m_blocks.size() * kBlockBytes; }

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t read = 0;  // offset of the oldest unsent record
        std::size_t write = 0; // offset where the next record goes
    };

    std::size_t m_maxRecords;
    std::size_t m_maxBlocks;
    std::size_t m_count = 0;
    std::deque<Block> m_blocks;
};

} // namespace Filterd
