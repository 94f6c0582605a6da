// Feeds arbitrary bytes, as one message from the filter would arrive, through record decoding: the
// zero-filled record buffer, the field readers, the address conversion, the host-name look-up
// (numeric only, so the fuzzer never waits on the network) and the Connection built from it.

#include "kernel/Connection.h"
#include "kernel/KextClient.h"
#include "kernel/wire/KextCommandFrame.h"
#include "kernel/wire/KextRecord.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <span>

namespace {

int numericResolver(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength, char* service,
                    socklen_t serviceLength, int flags)
{
    return ::getnameinfo(address, length, host, hostLength, service, serviceLength, flags | NI_NUMERICHOST);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace Quilvane::Wire;
    RecordBuffer record{};
    std::memcpy(record.data(), data, std::min(size, record.size()));

    const std::uint16_t port = recordPort(record);
    if (const auto native = recordNativeAddress(record)) {
        if (native->length > sizeof native->storage) {
            __builtin_trap();
        }
    }
    char host[NI_MAXHOST] = {};
    recordHostname(record, host, sizeof host, &numericResolver);
    if (host[sizeof host - 1] != 0) {
        __builtin_trap();
    }
    const auto connection = Connection::initWithHostname(QString::fromUtf8(host), port);
    if (connection->port() != QString::number(port)) {
        __builtin_trap();
    }

    // The full decoding path, with a pid from the input (usually no such process).
    if (const auto event = KextClient::parseKextCommand(record, &numericResolver)) {
        if (!event->app || !event->connection || recordCommand(record) > 1) {
            __builtin_trap();
        }
    }

    // The same bytes as a command message and as a block-list payload.
    const std::span<const std::uint8_t> message(data, size);
    if (const auto command = parseCommand(message)) {
        if (const auto names = decodeProcessNames(command->payload)) {
            const auto again = encodeProcessNames(*names);
            if (!names->empty() && (!again || !std::equal(again->begin(), again->end(), command->payload.begin(),
                                                          command->payload.end()))) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
