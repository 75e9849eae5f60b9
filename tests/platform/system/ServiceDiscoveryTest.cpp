// The service discovery client's reading of what a device answers. The answers are
// outside input: each case sits in a buffer of exactly its size, so a read past its end
// shows under the address sanitizer.
#include "ServiceDiscovery.h"
#include "TableRow.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A record whose protocol descriptor list is L2CAP, then RFCOMM on `channel`.
Bytes serialRecord(std::uint8_t channel)
{
    return { 0x35, 0x11, 0x09, 0x00, 0x04, 0x35, 0x0C, 0x35, 0x03, 0x19, 0x01, 0x00, 0x35, 0x05,
        0x19, 0x00, 0x03, 0x08, channel };
}

Bytes sequence(const Bytes& content)
{
    Bytes out { 0x35, std::uint8_t(content.size()) };
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct RecordsCase : CTableRow {
    Bytes lists;
    bool wellFormed;
    std::optional<int> channel;
};

class RecordsTest : public ::testing::TestWithParam<RecordsCase> { };

TEST_P(RecordsTest, FindsTheChannelOrRejects)
{
    const RecordsCase& entry = GetParam();
    CServiceRecords records = rfcommChannelIn(entry.lists);
    EXPECT_EQ(records.wellFormed, entry.wellFormed);
    EXPECT_EQ(records.channel, entry.channel);
}

INSTANTIATE_TEST_SUITE_P(Answers, RecordsTest,
    ::testing::Values(RecordsCase { "OneRecord", sequence(serialRecord(3)), true, 3 },
        RecordsCase {
            "LongLengthForm", joined({ { 0x36, 0x00, 0x13 }, serialRecord(7) }), true, 7 },
        RecordsCase { "SecondRecordNamesIt",
            sequence(
                joined({ sequence({ 0x09, 0x00, 0x04, 0x35, 0x05, 0x35, 0x03, 0x19, 0x01, 0x00 }),
                    serialRecord(12) })),
            true, 12 },
        RecordsCase { "OtherAttributesAround",
            sequence(sequence({ 0x09, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x05, 0x09, 0x00, 0x04,
                0x35, 0x07, 0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x02, 0x09, 0x01, 0x00, 0x25, 0x03,
                'S', 'P', 'P' })),
            true, 2 },
        RecordsCase { "Uuid128",
            sequence(sequence({ 0x09, 0x00, 0x04, 0x35, 0x15, 0x35, 0x13, 0x1C, 0x00, 0x00, 0x00,
                0x03, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB, 0x08,
                0x09 })),
            true, 9 },
        RecordsCase { "Uuid32",
            sequence(sequence({ 0x09, 0x00, 0x04, 0x35, 0x09, 0x35, 0x07, 0x1A, 0x00, 0x00, 0x00,
                0x03, 0x08, 0x04 })),
            true, 4 },
        // Alternative protocol lists: one of them carries RFCOMM, one level deeper.
        RecordsCase { "NestedInAlternatives",
            sequence(sequence({ 0x09, 0x00, 0x04, 0x3D, 0x15, 0x35, 0x05, 0x35, 0x03, 0x19, 0x01,
                0x00, 0x35, 0x0C, 0x35, 0x03, 0x19, 0x01, 0x00, 0x35, 0x05, 0x19, 0x00, 0x03, 0x08,
                0x06 })),
            true, 6 },
        RecordsCase { "AlternativeWithChannel",
            sequence(sequence({ 0x09, 0x00, 0x04, 0x3D, 0x09, 0x35, 0x07, 0x35, 0x05, 0x19, 0x00,
                0x03, 0x08, 0x05 })),
            true, 5 },
        RecordsCase { "NoRecords", { 0x35, 0x00 }, true, std::nullopt },
        RecordsCase { "NoRfcomm",
            sequence(sequence({ 0x09, 0x00, 0x04, 0x35, 0x05, 0x35, 0x03, 0x19, 0x01, 0x00 })),
            true, std::nullopt },
        RecordsCase { "ChannelZero", sequence(serialRecord(0)), true, std::nullopt },
        RecordsCase { "ChannelThirtyOne", sequence(serialRecord(31)), true, std::nullopt },
        RecordsCase { "ChannelAsUint16",
            sequence(sequence(
                { 0x09, 0x00, 0x04, 0x35, 0x06, 0x35, 0x04, 0x19, 0x00, 0x03, 0x09, 0x00, 0x03 })),
            false, std::nullopt },
        // The channel follows RFCOMM's UUID; an integer elsewhere is no channel.
        RecordsCase { "IntegerBeforeTheUuid",
            sequence(sequence(
                { 0x09, 0x00, 0x04, 0x35, 0x07, 0x35, 0x05, 0x08, 0x03, 0x19, 0x00, 0x03 })),
            true, std::nullopt },
        RecordsCase { "OuterTooLong", { 0x35, 0x14, 0x35, 0x00 }, false, std::nullopt },
        RecordsCase { "HugeLength", { 0x37, 0xFF, 0xFF, 0xFF, 0xFF, 0x00 }, false, std::nullopt },
        RecordsCase { "LengthBytesMissing", { 0x36, 0x00 }, false, std::nullopt },
        RecordsCase {
            "TrailingBytes", joined({ sequence(serialRecord(3)), { 0x00 } }), false, std::nullopt },
        RecordsCase { "RecordNotASequence", sequence({ 0x09, 0x00, 0x04 }), false, std::nullopt },
        RecordsCase {
            "IdWithoutValue", sequence(sequence({ 0x09, 0x00, 0x04 })), false, std::nullopt },
        RecordsCase {
            "IdNotUint16", sequence(sequence({ 0x08, 0x04, 0x08, 0x01 })), false, std::nullopt },
        RecordsCase { "InnerLengthBeyond",
            sequence(sequence({ 0x09, 0x00, 0x04, 0x35, 0x09, 0x35, 0x03, 0x19, 0x00, 0x03 })),
            false, std::nullopt },
        RecordsCase { "Empty", {}, false, std::nullopt }),
    byWhat);

TEST(ServiceRecords, EveryCutOfAGoodAnswerIsRejected)
{
    const Bytes whole = sequence(joined({ serialRecord(3), serialRecord(4) }));
    ASSERT_EQ(rfcommChannelIn(whole).channel, 3);
    for (std::size_t size = 0; size < whole.size(); ++size) {
        Bytes cut(whole.begin(), whole.begin() + long(size));
        EXPECT_FALSE(rfcommChannelIn(cut).wellFormed) << size << " bytes";
    }
}

TEST(ServiceRecords, DeepNestingIsRejectedNotFollowed)
{
    Bytes list = { 0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x02 };
    for (int depth = 0; depth < 40; ++depth)
        list = sequence(list);
    Bytes record = joined({ { 0x09, 0x00, 0x04 }, list });
    EXPECT_FALSE(rfcommChannelIn(sequence(sequence(record))).wellFormed);
}

TEST(SdpRequest, AsksForTheSerialPortsProtocolLists)
{
    EXPECT_EQ(serialPortSearchRequest(0x0102, {}),
        (Bytes { 0x06, 0x01, 0x02, 0x00, 0x0D, 0x35, 0x03, 0x19, 0x11, 0x01, 0x04, 0x00, 0x35, 0x03,
            0x09, 0x00, 0x04, 0x00 }));
    const Bytes state = { 0x02, 0xAB, 0xCD };
    EXPECT_EQ(serialPortSearchRequest(7, state),
        (Bytes { 0x06, 0x00, 0x07, 0x00, 0x10, 0x35, 0x03, 0x19, 0x11, 0x01, 0x04, 0x00, 0x35, 0x03,
            0x09, 0x00, 0x04, 0x03, 0x02, 0xAB, 0xCD }));
}

struct ReplyCase : CTableRow {
    Bytes packet;
    CSdpReply::Kind kind;
    Bytes attributes;
    Bytes continuation;
};

class ReplyTest : public ::testing::TestWithParam<ReplyCase> { };

TEST_P(ReplyTest, ReadsTheAnswerToItsOwnRequest)
{
    const ReplyCase& entry = GetParam();
    CSdpReply reply = parseSdpReply(entry.packet, 0x0005);
    EXPECT_EQ(reply.kind, entry.kind);
    EXPECT_EQ(reply.attributes, entry.attributes);
    EXPECT_EQ(reply.continuation, entry.continuation);
}

INSTANTIATE_TEST_SUITE_P(Packets, ReplyTest,
    ::testing::Values(
        ReplyCase { "Last", { 0x07, 0x00, 0x05, 0x00, 0x05, 0x00, 0x02, 0x35, 0x00, 0x00 },
            CSdpReply::Kind::attributes, { 0x35, 0x00 }, {} },
        ReplyCase { "WithContinuation",
            { 0x07, 0x00, 0x05, 0x00, 0x07, 0x00, 0x02, 0x35, 0x11, 0x02, 0xAA, 0xBB },
            CSdpReply::Kind::attributes, { 0x35, 0x11 }, { 0xAA, 0xBB } },
        ReplyCase { "ErrorAnswer", { 0x01, 0x00, 0x05, 0x00, 0x02, 0x00, 0x03 },
            CSdpReply::Kind::refused, {}, {} },
        ReplyCase { "OtherTransaction", { 0x07, 0x00, 0x06, 0x00, 0x03, 0x00, 0x00, 0x00 },
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "ParameterLengthWrong",
            { 0x07, 0x00, 0x05, 0x00, 0x09, 0x00, 0x02, 0x35, 0x00, 0x00 },
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "CountBeyondPacket",
            { 0x07, 0x00, 0x05, 0x00, 0x05, 0x00, 0x09, 0x35, 0x00, 0x00 },
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "ContinuationBeyondPacket",
            { 0x07, 0x00, 0x05, 0x00, 0x05, 0x00, 0x02, 0x35, 0x00, 0x04 },
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "ContinuationTooLong",
            [] {
                Bytes packet { 0x07, 0x00, 0x05, 0x00, 0x16, 0x00, 0x02, 0x35, 0x00, 0x11 };
                packet.resize(packet.size() + 17, 0x01);
                return packet;
            }(),
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "NoContinuationByte", { 0x07, 0x00, 0x05, 0x00, 0x04, 0x00, 0x02, 0x35, 0x00 },
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "OtherPdu", { 0x03, 0x00, 0x05, 0x00, 0x03, 0x00, 0x00, 0x00 },
            CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "HeaderOnly", { 0x07, 0x00, 0x05, 0x00 }, CSdpReply::Kind::malformed, {}, {} },
        ReplyCase { "Nothing", {}, CSdpReply::Kind::malformed, {}, {} }),
    byWhat);

TEST(ServiceLookup, FailsAtOnceWithoutBluetooth)
{
    // Where the system has no Bluetooth sockets, or no adapter, the lookup ends at its
    // first step with the system's reason and leaves nothing to wait on.
    CServiceLookup lookup(CBluetoothAddress { { 0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13 } });
    if (lookup.step() == CServiceLookup::State::asking)
        GTEST_SKIP() << "this system has a Bluetooth adapter";
    EXPECT_EQ(lookup.step(), CServiceLookup::State::failed);
    EXPECT_NE(lookup.error(), 0);
    EXPECT_EQ(lookup.fd(), -1);
}

} // namespace
