// Which RFCOMM channel a Bluetooth device offers its serial port on, asked of the device
// itself: a small client of its service discovery server, over an L2CAP socket to PSM 1.
// Any user may open one; it needs no root and no daemon. The lookup runs without
// blocking, one step at a time, so a port waits for it as it waits for a link
// (Waiting.h) and windows stay live meanwhile.
//
// The device's answers are outside input: every length in them is checked against the
// bytes that came, and an answer that does not add up is rejected, never read past.
#pragma once

#include "BluetoothAddress.h"
#include "FileDescriptor.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The Serial Port service class.
inline constexpr std::uint16_t serialPortServiceClass = 0x1101;

// A ServiceSearchAttributeRequest for the protocol descriptor lists of the device's
// Serial Port services, carrying the continuation state of the answer before (empty for
// the first request).
std::vector<std::uint8_t> serialPortSearchRequest(
    std::uint16_t transaction, std::span<const std::uint8_t> continuation);

struct CSdpReply {
    enum class Kind {
        attributes, // a part of the attribute lists; more follows while `continuation` is set
        refused, // the server answered with an error
        malformed, // not an answer to the request, or lengths that do not add up
    };
    Kind kind = Kind::malformed;
    std::vector<std::uint8_t> attributes; // this part of the attribute lists
    std::vector<std::uint8_t> continuation; // empty when this was the last part
};

// One answer (a whole L2CAP packet) to the request with `transaction`.
CSdpReply parseSdpReply(std::span<const std::uint8_t> packet, std::uint16_t transaction);

struct CServiceRecords {
    bool wellFormed = false;
    // The first RFCOMM channel a record names; nothing when no record names one.
    std::optional<int> channel;
};

// The channel in the attribute lists of a whole answer (the parts joined): a sequence of
// records, each a sequence of attribute id and value, where the protocol descriptor
// list (0x0004) holds, nested, the RFCOMM protocol's UUID followed by its channel.
CServiceRecords rfcommChannelIn(std::span<const std::uint8_t> attributeLists);

class CServiceLookup {
public:
    enum class State {
        asking, // still under way: wait on fd() and step again
        found, // channel() is the channel
        noSerialPort, // the device answered and offers no serial port
        failed, // error() says why: the device cannot be reached, or its answer made no sense
    };

    // Starts connecting to the device's discovery server. A failure at once (no adapter,
    // adapter off) is seen by the first step().
    explicit CServiceLookup(const CBluetoothAddress& address);

    // Moves the lookup on as far as it goes without waiting.
    State step();

    // What to wait on while asking; -1 once done.
    int fd() const { return socket.valid() ? socket.get() : -1; }
    // The poll() events that move it on: writable to connect and ask, readable for the answer.
    short events() const;
    int channel() const { return foundChannel; }
    int error() const { return lastError; }

private:
    State fail(int error);

    CFileDescriptor socket;
    State state = State::asking;
    bool connected = false;
    bool sent = false;
    std::uint16_t transaction = 1;
    int answers = 0;
    std::vector<std::uint8_t> continuation;
    std::vector<std::uint8_t> attributes;
    int foundChannel = 0;
    int lastError = 0;
};
