#include "BluetoothAddress.h"

#include <gtest/gtest.h>

namespace {

struct TargetCase {
    const char* text;
    bool valid;
    const char* address = ""; // as formatted back
    int channel = 0;
};

class BluetoothTargetTest : public testing::TestWithParam<TargetCase> { };

TEST_P(BluetoothTargetTest, ParsesOnlyTheExactForm)
{
    const TargetCase& row = GetParam();
    std::optional<CBluetoothTarget> target = parseBluetoothTarget(row.text);
    ASSERT_EQ(target.has_value(), row.valid) << row.text;
    if (!target)
        return;
    EXPECT_EQ(formatBluetoothAddress(target->address), row.address);
    EXPECT_EQ(target->channel, row.channel);
    // What is written back reads the same.
    EXPECT_EQ(parseBluetoothTarget(formatBluetoothTarget(*target)), target);
}

INSTANTIATE_TEST_SUITE_P(Targets, BluetoothTargetTest,
    testing::Values(TargetCase { "bluetooth:00:1A:7D:DA:71:13", true, "00:1A:7D:DA:71:13", 0 },
        TargetCase { "bluetooth:00:1a:7d:da:71:13/1", true, "00:1A:7D:DA:71:13", 1 },
        TargetCase { "bluetooth:FF:FF:FF:FF:FF:FF/30", true, "FF:FF:FF:FF:FF:FF", 30 },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13/0", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13/31", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13/01", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13/", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13/-1", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13/1x", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71", false },
        TargetCase { "bluetooth:00:1A:7D:DA:71:13:", false },
        TargetCase { "bluetooth:00-1A-7D-DA-71-13", false },
        TargetCase { "bluetooth:0G:1A:7D:DA:71:13", false },
        TargetCase { "Bluetooth:00:1A:7D:DA:71:13", false }, TargetCase { "/dev/rfcomm0", false },
        TargetCase { "", false }));

} // namespace
