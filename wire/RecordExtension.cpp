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
constexpr std::size_t kHostLengthOffset = kRecordExtensionOffset + kRecordExtensionHeaderSize;

std::size_t namesOffset(std::uint8_t version) {
    return kRecordExtensionOffset + (version == kRecordExtensionHostVersion ? kRecordExtensionHostHeaderSize
                                                                            : kRecordExtensionHeaderSize);
}

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
                                  std::string_view executable, std::string_view script,
                                  std::string_view host) {
    if (length == 0 || length > kRecordExtensionOffset || !isCarriable(executable) || !isCarriable(script) ||
        !isCarriable(host)) {
        return length;
    }
    const std::uint8_t version = host.empty() ? kRecordExtensionVersion : kRecordExtensionHostVersion;
    const std::size_t names = namesOffset(version);
    std::fill(record.begin() + static_cast<std::ptrdiff_t>(length),
              record.begin() + static_cast<std::ptrdiff_t>(names), std::uint8_t{0});
    std::memcpy(record.data() + kRecordExtensionOffset, kMagic, sizeof kMagic);
    record[kVersionOffset] = version;
    put(record, kUidOffset, uid);
    put(record, kExeLengthOffset, static_cast<std::uint16_t>(executable.size()));
    put(record, kScriptLengthOffset, static_cast<std::uint16_t>(script.size()));
    if (version == kRecordExtensionHostVersion) {
        put(record, kHostLengthOffset, static_cast<std::uint16_t>(host.size()));
    }
    std::size_t at = names;
    for (const std::string_view name : {executable, script, host}) {
        std::copy(name.begin(), name.end(), record.begin() + static_cast<std::ptrdiff_t>(at));
        at += name.size();
    }
    return at;
}

std::optional<RecordIdentity> recordExtension(const RecordBuffer& record, std::size_t length) {
    const std::uint8_t version = record[kVersionOffset];
    if (length < kRecordExtensionOffset + kRecordExtensionHeaderSize || length > record.size() ||
        std::memcmp(record.data() + kRecordExtensionOffset, kMagic, sizeof kMagic) != 0 ||
        (version != kRecordExtensionVersion && version != kRecordExtensionHostVersion)) {
        return std::nullopt;
    }
    const std::size_t names = namesOffset(version);
    const std::size_t exeLength = get<std::uint16_t>(record, kExeLengthOffset);
    const std::size_t scriptLength = get<std::uint16_t>(record, kScriptLengthOffset);
    const std::size_t hostLength =
        version == kRecordExtensionHostVersion ? get<std::uint16_t>(record, kHostLengthOffset) : 0;
    if (length < names || names + exeLength + scriptLength + hostLength != length) {
        return std::nullopt;
    }
    const auto* text = reinterpret_cast<const char*>(record.data() + names);
    RecordIdentity identity{get<std::uint32_t>(record, kUidOffset), std::string(text, exeLength),
                            std::string(text + exeLength, scriptLength),
                            std::string(text + exeLength + scriptLength, hostLength)};
    if (!isCarriable(identity.executable) || !isCarriable(identity.script) || !isCarriable(identity.host)) {
        return std::nullopt;
    }
    return identity;
}

} // namespace Quilvane::Wire
