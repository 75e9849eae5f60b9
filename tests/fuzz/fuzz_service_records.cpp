// A Bluetooth device's answer to the serial port search, as any device in reach may send
// it: the first two bytes pick the transaction the answer is checked against, the rest is
// the packet. Nothing may be read past the bytes given (the sanitizers watch), a part of
// the answer must lie inside the packet, and a channel found must be one RFCOMM has.
#include "ServiceDiscovery.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define require(condition)                                                                         \
    ((condition) ? void() : (std::fprintf(stderr, "broken: %s\n", #condition), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const auto transaction = std::uint16_t(data[0] << 8 | data[1]);
    const std::span<const std::uint8_t> packet(data + 2, size - 2);
    CSdpReply reply = parseSdpReply(packet, transaction);
    if (reply.kind == CSdpReply::Kind::attributes)
        require(reply.attributes.size() + reply.continuation.size() <= packet.size());
    else
        require(reply.attributes.empty());
    // The attribute lists the device sends, joined from its parts, are outside input too.
    CServiceRecords records = rfcommChannelIn(packet);
    if (records.channel)
        require(records.wellFormed && *records.channel >= 1 && *records.channel <= 30);
    return 0;
}
