#include "ServiceDiscovery.h"

#include "SystemCall.h"
#include "Waiting.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

// The kernel's L2CAP socket interface, declared here rather than taken from a
// development package: these values are fixed by the kernel's ABI.
constexpr int l2capProtocol = 0; // BTPROTO_L2CAP
constexpr std::uint16_t discoveryPsm = 1;

struct CL2capAddress {
    sa_family_t family;
    std::uint16_t psm; // little-endian
    std::uint8_t address[6]; // least significant byte first
    std::uint16_t cid;
    std::uint8_t addressType; // 0: BR/EDR
};
static_assert(sizeof(CL2capAddress) == 14);

// The protocol's PDU ids and the attribute this client reads.
constexpr std::uint8_t errorResponse = 0x01;
constexpr std::uint8_t searchAttributeRequest = 0x06;
constexpr std::uint8_t searchAttributeResponse = 0x07;
constexpr std::uint16_t protocolDescriptorList = 0x0004;
constexpr std::uint16_t rfcommProtocolUuid = 0x0003;

// How much of the attribute lists one answer may carry, and how much and how many
// answers the whole may take: a server that keeps sending continuations is cut off.
constexpr std::uint16_t maximumAttributeBytes = 0x0400;
constexpr std::size_t maximumTotalBytes = 0x10000;
constexpr int maximumAnswers = 64;
constexpr std::size_t maximumContinuation = 16;
// Records nest protocol lists in lists; deeper than this is not a record.
constexpr int maximumDepth = 8;

std::uint16_t bigEndian16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return std::uint16_t(bytes[at] << 8 | bytes[at + 1]);
}

void appendBigEndian16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(std::uint8_t(value >> 8));
    out.push_back(std::uint8_t(value));
}

// One data element: its type, and where its value lies within the bytes it was read from.
struct CElement {
    int type = 0; // 1 unsigned, 3 UUID, 6 sequence, 7 alternative, ...
    std::span<const std::uint8_t> value;
    std::size_t size = 0; // header and value
};

enum : int { unsignedType = 1, uuidType = 3, sequenceType = 6, alternativeType = 7 };

// The element at the start of `bytes`; nothing when its header or value would reach
// beyond them.
std::optional<CElement> readElement(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return std::nullopt;
    CElement element;
    element.type = bytes[0] >> 3;
    const int sizeIndex = bytes[0] & 7;
    std::size_t header = 1;
    std::size_t length = 0;
    if (sizeIndex < 5) {
        // Nil alone has no value; every other type's size is 1, 2, 4, 8 or 16 bytes.
        length = element.type == 0 ? 0 : std::size_t(1) << sizeIndex;
    } else {
        const std::size_t lengthBytes = std::size_t(1) << (sizeIndex - 5);
        if (bytes.size() < 1 + lengthBytes)
            return std::nullopt;
        for (std::size_t i = 0; i < lengthBytes; ++i)
            length = length << 8 | bytes[1 + i];
        header += lengthBytes;
    }
    if (length > bytes.size() - header)
        return std::nullopt;
    element.value = bytes.subspan(header, length);
    element.size = header + length;
    return element;
}

// Calls `each` on every element of a sequence's value; false when one does not fit, or
// when `each` says the content is wrong.
template <typename Each> bool forEachElement(std::span<const std::uint8_t> sequence, Each each)
{
    while (!sequence.empty()) {
        std::optional<CElement> element = readElement(sequence);
        if (!element || !each(*element))
            return false;
        sequence = sequence.subspan(element->size);
    }
    return true;
}

bool isRfcommUuid(const CElement& element)
{
    static constexpr std::uint8_t baseTail[12]
        = { 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB };
    if (element.type != uuidType)
        return false;
    std::span<const std::uint8_t> v = element.value;
    switch (v.size()) {
    case 2:
        return bigEndian16(v, 0) == rfcommProtocolUuid;
    case 4:
        return v[0] == 0 && v[1] == 0 && bigEndian16(v, 2) == rfcommProtocolUuid;
    case 16:
        return v[0] == 0 && v[1] == 0 && bigEndian16(v, 2) == rfcommProtocolUuid
            && std::equal(v.begin() + 4, v.end(), std::begin(baseTail));
    default:
        return false;
    }
}

// Looks through a protocol descriptor list, however it nests: a sequence whose first
// element is RFCOMM's UUID names the channel in its second.
bool findChannel(const CElement& list, int depth, std::optional<int>& channel)
{
    if (depth > maximumDepth)
        return false;
    bool first = true;
    bool rfcomm = false;
    return forEachElement(list.value, [&](const CElement& element) {
        if (first && list.type == sequenceType && isRfcommUuid(element))
            rfcomm = true;
        else if (rfcomm && !channel && element.type == unsignedType && element.value.size() == 1
            && element.value[0] >= firstRfcommChannel && element.value[0] <= lastRfcommChannel)
            channel = element.value[0];
        else if (element.type == sequenceType || element.type == alternativeType)
            if (!findChannel(element, depth + 1, channel))
                return false;
        rfcomm = rfcomm && first;
        first = false;
        return true;
    });
}

} // namespace

std::vector<std::uint8_t> serialPortSearchRequest(
    std::uint16_t transaction, std::span<const std::uint8_t> continuation)
{
    // The search pattern: one 16-bit UUID; the attributes: the protocol descriptor list.
    static constexpr std::uint8_t pattern[]
        = { 0x35, 0x03, 0x19, serialPortServiceClass >> 8, serialPortServiceClass & 0xFF };
    static constexpr std::uint8_t attributes[] = { 0x35, 0x03, 0x09, 0x00, protocolDescriptorList };
    const std::size_t kept = std::min(continuation.size(), maximumContinuation);
    std::vector<std::uint8_t> request { searchAttributeRequest };
    appendBigEndian16(request, transaction);
    appendBigEndian16(request, std::uint16_t(sizeof pattern + 2 + sizeof attributes + 1 + kept));
    request.insert(request.end(), std::begin(pattern), std::end(pattern));
    appendBigEndian16(request, maximumAttributeBytes);
    request.insert(request.end(), std::begin(attributes), std::end(attributes));
    request.push_back(std::uint8_t(kept));
    request.insert(request.end(), continuation.begin(), continuation.begin() + long(kept));
    return request;
}

CSdpReply parseSdpReply(std::span<const std::uint8_t> packet, std::uint16_t transaction)
{
    CSdpReply reply;
    if (packet.size() < 5 || bigEndian16(packet, 1) != transaction
        || bigEndian16(packet, 3) != packet.size() - 5)
        return reply;
    std::span<const std::uint8_t> parameters = packet.subspan(5);
    if (packet[0] == errorResponse) {
        if (parameters.size() >= 2)
            reply.kind = CSdpReply::Kind::refused;
        return reply;
    }
    if (packet[0] != searchAttributeResponse || parameters.size() < 3)
        return reply;
    const std::size_t count = bigEndian16(parameters, 0);
    if (count > parameters.size() - 3)
        return reply;
    const std::size_t continuationLength = parameters[2 + count];
    if (continuationLength > maximumContinuation
        || 2 + count + 1 + continuationLength != parameters.size())
        return reply;
    auto lists = parameters.subspan(2, count);
    auto state = parameters.subspan(3 + count);
    return { CSdpReply::Kind::attributes, { lists.begin(), lists.end() },
        { state.begin(), state.end() } };
}

CServiceRecords rfcommChannelIn(std::span<const std::uint8_t> attributeLists)
{
    CServiceRecords records;
    std::optional<CElement> all = readElement(attributeLists);
    if (!all || all->type != sequenceType || all->size != attributeLists.size())
        return records;
    records.wellFormed = forEachElement(all->value, [&](const CElement& record) {
        if (record.type != sequenceType)
            return false;
        // Attribute ids and values alternate; an id is a 16-bit unsigned integer.
        std::optional<std::uint16_t> id;
        return forEachElement(record.value, [&](const CElement& element) {
            if (!id) {
                if (element.type != unsignedType || element.value.size() != 2)
                    return false;
                id = bigEndian16(element.value, 0);
                return true;
            }
            bool ok = true;
            if (*id == protocolDescriptorList) {
                if (element.type != sequenceType && element.type != alternativeType)
                    return false;
                ok = findChannel(element, 0, records.channel);
            }
            id.reset();
            return ok;
        }) && !id;
    });
    if (!records.wellFormed)
        records.channel.reset();
    return records;
}

CServiceLookup::CServiceLookup(const CBluetoothAddress& address)
    : socket(::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, l2capProtocol))
{
    if (!socket.valid()) {
        fail(errno);
        return;
    }
    CL2capAddress remote {};
    remote.family = AF_BLUETOOTH;
    const std::uint8_t psm[2] = { discoveryPsm & 0xFF, discoveryPsm >> 8 };
    std::memcpy(&remote.psm, psm, sizeof psm);
    std::ranges::reverse_copy(address.bytes, remote.address);
    SysResult started = sys::result(
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote));
    if (!started.ok() && !started.failedWith(EINPROGRESS))
        fail(started.error);
}

short CServiceLookup::events() const
{
    return connected && sent ? POLLIN : POLLOUT;
}

CServiceLookup::State CServiceLookup::fail(int error)
{
    lastError = error ? error : EIO;
    socket.reset();
    return state = State::failed;
}

CServiceLookup::State CServiceLookup::step()
{
    while (state == State::asking) {
        short ready = pollDescriptor(socket.get(), events(), 0);
        if (!connected) {
            if (ready & (POLLOUT | POLLERR | POLLHUP)) {
                int error = sys::pendingError(socket.get());
                if (error || !(ready & POLLOUT))
                    return fail(error ? error : ECONNRESET);
                connected = true;
                continue;
            }
            return state;
        }
        if (!sent) {
            std::vector<std::uint8_t> request = serialPortSearchRequest(transaction, continuation);
            SysResult written = sys::restarting([&] {
                return ::send(
                    socket.get(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            });
            if (written.failedWith(EAGAIN) || written.failedWith(EWOULDBLOCK))
                return state;
            if (!written.ok())
                return fail(written.error);
            sent = true;
            continue;
        }
        if (!(ready & (POLLIN | POLLERR | POLLHUP)))
            return state;
        // A sequenced packet socket gives one whole answer a read; one larger than the
        // buffer is cut, which the length check of the parse then rejects.
        std::vector<std::uint8_t> packet(std::size_t(maximumAttributeBytes) + 64);
        SysResult got = sys::restarting(
            [&] { return ::recv(socket.get(), packet.data(), packet.size(), MSG_DONTWAIT); });
        if (got.failedWith(EAGAIN) || got.failedWith(EWOULDBLOCK))
            return state;
        if (!got.ok())
            return fail(got.error);
        if (got.value == 0)
            return fail(ECONNRESET);
        packet.resize(std::size_t(got.value));
        CSdpReply reply = parseSdpReply(packet, transaction);
        if (reply.kind != CSdpReply::Kind::attributes)
            return fail(reply.kind == CSdpReply::Kind::refused ? EPROTO : EBADMSG);
        attributes.insert(attributes.end(), reply.attributes.begin(), reply.attributes.end());
        if (!reply.continuation.empty()) {
            if (++answers >= maximumAnswers || attributes.size() > maximumTotalBytes)
                return fail(EBADMSG);
            continuation = std::move(reply.continuation);
            ++transaction;
            sent = false;
            continue;
        }
        socket.reset();
        CServiceRecords records = rfcommChannelIn(attributes);
        if (!records.wellFormed)
            return fail(EBADMSG);
        if (!records.channel)
            return state = State::noSerialPort;
        foundChannel = *records.channel;
        return state = State::found;
    }
    return state;
}
