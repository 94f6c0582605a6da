// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/RecordExtension.h"

#include <algorithm>
#include <cstring>

namespace Quilvane::Wire {
namespace {

constexpr std::uint8_t kMagic[2] = {'Q', 'X'};
constexpr std::size_t kVersionOffset = kRecordExtensionOffset + 2;
constexpr std::size_t kUidOffset = kRecordExtensionOffset + 4;
constexpr std::size_t kExeLengthOffset = kRecordExtensionOffset + 8;
constexpr std::size_t kScriptLengthOffset = kRecordExtensionOffset + 10;
constexpr std::size_t kNamesOffset = kRecordExtensionOffset + kRecordExtensionHeaderSize;

bool isCarriable(std::string_view name) {
    return name.size() <= kRecordNameMaximum && name.find('\0') == std::string_view::npos;
}

template <typename T> void put(RecordBuffer& record, std::size_t offset, T value) {
    std::memcpy(record.data() + offset, &value, sizeof value);
}

template <typename T> T get(const RecordBuffer& record, std::size_t offset) {
    T value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

} // namespace

std::size_t appendRecordExtension(RecordBuffer& record, std::size_t length, std::uint32_t uid,
                                  std::string_view executable, std::string_view script) {
    if (length == 0 || length > kRecordExtensionOffset || !isCarriable(executable) || !isCarriable(script)) {
        return length;
    }
    std::fill(record.begin() + static_cast<std::ptrdiff_t>(length),
              record.begin() + static_cast<std::ptrdiff_t>(kNamesOffset), std::uint8_t{0});
    std::memcpy(record.data() + kRecordExtensionOffset, kMagic, sizeof kMagic);
    record[kVersionOffset] = kRecordExtensionVersion;
    put(record, kUidOffset, uid);
    put(record, kExeLengthOffset, static_cast<std::uint16_t>(executable.size()));
    put(record, kScriptLengthOffset, static_cast<std::uint16_t>(script.size()));
    std::memcpy(record.data() + kNamesOffset, executable.data(), executable.size());
    std::memcpy(record.data() + kNamesOffset + executable.size(), script.data(), script.size());
    return kNamesOffset + executable.size() + script.size();
}

std::optional<RecordIdentity> recordExtension(const RecordBuffer& record, std::size_t length) {
    if (length < kNamesOffset || length > record.size() ||
        std::memcmp(record.data() + kRecordExtensionOffset, kMagic, sizeof kMagic) != 0 ||
        record[kVersionOffset] != kRecordExtensionVersion) {
        return std::nullopt;
    }
    const std::size_t exeLength = get<std::uint16_t>(record, kExeLengthOffset);
    const std::size_t scriptLength = get<std::uint16_t>(record, kScriptLengthOffset);
    if (kNamesOffset + exeLength + scriptLength != length) {
        return std::nullopt;
    }
    const auto* names = reinterpret_cast<const char*>(record.data() + kNamesOffset);
    RecordIdentity identity{get<std::uint32_t>(record, kUidOffset), std::string(names, exeLength),
                            std::string(names + exeLength, scriptLength)};
    if (!isCarriable(identity.executable) || !isCarriable(identity.script)) {
        return std::nullopt;
    }
    return identity;
}

} // namespace Quilvane::Wire
