// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/RecordQueue.h"

#include <algorithm>
#include <cstring>

namespace Filterd {
namespace {

// Each record is stored behind its length, so blocks need no index.
constexpr std::size_t kLengthBytes = sizeof(std::uint16_t);
static_assert(RecordQueue::kMaxRecordBytes + kLengthBytes <= RecordQueue::kBlockBytes);

std::uint16_t storedLength(const std::uint8_t* at) {
    std::uint16_t length = 0;
    std::memcpy(&length, at, kLengthBytes);
    return length;
}

} // namespace

RecordQueue::RecordQueue(std::size_t maxRecords, std::size_t maxBytes)
    : m_maxRecords(std::max<std::size_t>(maxRecords, 1))
    , m_maxBlocks(std::max<std::size_t>(maxBytes / kBlockBytes, 1)) {}

bool RecordQueue::push(const std::uint8_t* record, std::size_t length) {
    if (length > kMaxRecordBytes || m_count >= m_maxRecords) {
        return false;
    }
    const std::size_t needed = kLengthBytes + length;
    if (m_blocks.empty() || kBlockBytes - m_blocks.back().write < needed) {
        if (m_blocks.size() >= m_maxBlocks) {
            return false;
        }
        m_blocks.push_back(Block{std::make_unique<std::uint8_t[]>(kBlockBytes), 0, 0});
    }
    Block& block = m_blocks.back();
    const auto length16 = static_cast<std::uint16_t>(length);
    std::memcpy(block.bytes.get() + block.write, &length16, kLengthBytes);
    std::memcpy(block.bytes.get() + block.write + kLengthBytes, record, length);
    block.write += needed;
    ++m_count;
    return true;
}

std::size_t RecordQueue::peek(std::span<iovec> out) const {
    std::size_t filled = 0;
    for (const Block& block : m_blocks) {
        for (std::size_t at = block.read; at < block.write && filled < out.size();) {
            const std::uint16_t length = storedLength(block.bytes.get() + at);
            out[filled++] = {block.bytes.get() + at + kLengthBytes, length};
            at += kLengthBytes + length;
        }
        if (filled == out.size()) {
            break;
        }
    }
    return filled;
}

void RecordQueue::pop(std::size_t count) {
    count = std::min(count, m_count);
    m_count -= count;
    while (count > 0) {
        Block& block = m_blocks.front();
        block.read += kLengthBytes + storedLength(block.bytes.get() + block.read);
        --count;
        if (block.read == block.write) {
            if (m_blocks.size() > 1) {
                m_blocks.pop_front();
            } else {
                block.read = block.write = 0; // keep one block for a client that keeps up
            }
        }
    }
}

} // namespace Filterd
