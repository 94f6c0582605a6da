// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes, as one message from the filter would arrive, through the product's record
// decoder with its caches kept from one input to the next: the zero-filled record buffer, the field
// readers, the identity extension, the App of the process (the input's pid, and this process's own,
// so that the App and its cache are really built), the host-name look-up (numeric only, so the
// fuzzer never waits on the network) and the Connection. The same bytes also go through the
// stateless parseKextCommand and the command framing.

#include "kernel/KextClient.h"
#include "kernel/RecordDecoder.h"
#include "wire/KextCommandFrame.h"
#include "wire/KextRecord.h"
#include "wire/RecordExtension.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <unistd.h>

namespace {

int numericResolver(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength,
                    char* service, socklen_t serviceLength, int flags) {
    return ::getnameinfo(address, length, host, hostLength, service, serviceLength, flags | NI_NUMERICHOST);
}

RecordDecoder& decoder() {
    static RecordDecoder* const shared = [] {
        auto* made = new RecordDecoder; // kept for the whole run, caches and all
        made->setNameResolver(&numericResolver);
        return made;
    }();
    return *shared;
}

void check(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}

void decodeThroughTheProduct(const Quilvane::Wire::RecordBuffer& record, std::size_t length) {
    using Kind = RecordDecoder::Decoded::Kind;
    const std::uint32_t command = Quilvane::Wire::recordCommand(record);
    const RecordDecoder::Decoded decoded = decoder().decode(record, length);
    switch (decoded.kind) {
    case Kind::connection:
        check(decoded.app && decoded.connection && command <= 1);
        check(decoded.connection->port() == QString::number(Quilvane::Wire::recordPort(record)));
        break;
    case Kind::refused:
        check(decoded.app && !decoded.connection && command == 2);
        break;
    case Kind::mustResolveHost:
        check(decoded.app && !decoded.connection);
        while (const auto key = decoder().nextLookup()) {
            for (const auto& event : decoder().resolveHost(*key)) {
                check(event.app && event.connection);
            }
        }
        break;
    case Kind::awaitingHost:
        check(false); // look-ups run inline here, so nothing is ever left waiting
        break;
    case Kind::dropped:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Quilvane::Wire;
    RecordBuffer record{};
    const std::size_t length = std::min(size, record.size());
    std::memcpy(record.data(), data, length);

    if (const auto native = recordNativeAddress(record)) {
        check(native->length <= sizeof native->storage);
    }
    if (const auto identity = recordExtension(record, length)) {
        check(identity->executable.size() <= kRecordNameMaximum &&
              identity->script.size() <= kRecordNameMaximum);
    }
    decodeThroughTheProduct(record, length);
    // The same message from a live process: the App is built (from the extension when it is valid)
    // and remembered.
    const std::int32_t self = ::getpid();
    std::memcpy(record.data() + 4, &self, sizeof self);
    decodeThroughTheProduct(record, length);

    if (const auto event = KextClient::parseKextCommand(record, length, &numericResolver)) {
        check(event->app && event->connection && recordCommand(record) <= 1);
    }

    // The same bytes as a command message and as a block-list payload.
    const std::span<const std::uint8_t> message(data, size);
    if (const auto command = parseCommand(message)) {
        if (const auto names = decodeProcessNames(command->payload)) {
            const auto again = encodeProcessNames(*names);
            check(names->empty() || (again && std::equal(again->begin(), again->end(),
                                                         command->payload.begin(), command->payload.end())));
        }
    }
    return 0;
}
