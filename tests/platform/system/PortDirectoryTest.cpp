// How a port name leads to a device: the entries of the port directory, where that
// directory is, and what an entry that cannot be looked at gives.
#include "PortFixture.h"

#include "DeviceClass.h"
#include "PortDirectory.h"

namespace fs = std::filesystem;

TEST(PortDirectory, NamesMapToEntriesOrBluetoothPorts)
{
    EXPECT_EQ(portNumberFromName(u"COM1:"), 1);
    EXPECT_EQ(portNumberFromName(u"cOm9:"), 9);
    EXPECT_EQ(portNumberFromName(u"COM0:"), std::nullopt);
    EXPECT_EQ(devicePathForPort(u"COM0:"), std::nullopt);

    CTestPortDirectory ports;
    ports.link(2, ports.path() / "nothing");
    EXPECT_EQ(devicePathForPort(u"COM1:"), fs::path("/dev/rfcomm0"));
    EXPECT_EQ(devicePathForPort(u"COM9:"), fs::path("/dev/rfcomm8"));
    // A dangling link is still the user's choice; it must not turn into a Bluetooth port.
    EXPECT_EQ(devicePathForPort(u"COM2:"), ports.entry(2));
}

TEST(PortDirectory, AnEntryThatCannotBeLookedAtIsAnErrorNotABluetoothPort)
{
    CTestPortDirectory ports;
    // An entry that is itself a loop is still the user's entry (and fails to open).
    fs::create_symlink(ports.entry(1), ports.entry(1));
    EXPECT_EQ(devicePathForPort(u"COM1:"), ports.entry(1));
    EXPECT_EQ(openPort(u"COM1:"), invalidHandle);

    // A loop of links on the way to the entry.
    fs::path loop = ports.path() / "loop";
    fs::create_symlink(loop, loop);
    {
        CScopedVariable looped("SERIALPADS_PORTS", loop.c_str());
        EXPECT_EQ(devicePathForPort(u"COM2:"), std::nullopt);
        EXPECT_EQ(openPort(u"COM2:"), invalidHandle);
    }

    // A directory this user may not search: its entries cannot be looked at.
    fs::path locked = ports.path() / "locked";
    fs::create_directory(locked);
    fs::permissions(ports.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(locked, fs::perms::owner_all);
    CScopedVariable denied("SERIALPADS_PORTS", locked.c_str());
    EXPECT_EQ(exitStatusAsOtherUser([] {
        std::optional<fs::path> device = devicePathForPort(u"COM3:");
        return !device ? 0 : *device == "/dev/rfcomm2" ? 1 : 2;
    }),
        0);
}

TEST(PortDirectory, DefaultsToTheUsersConfigDirectory)
{
    CScopedVariable noPorts("SERIALPADS_PORTS", "");
    CScopedVariable home("HOME", "/home/pat");
    {
        CScopedVariable config("XDG_CONFIG_HOME", "/etc/xdg-pat");
        EXPECT_EQ(portDirectory(), fs::path("/etc/xdg-pat/serialpads/ports"));
    }
    for (const char* unusable : { static_cast<const char*>(nullptr), "", "relative/config" }) {
        CScopedVariable config("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(portDirectory(), fs::path("/home/pat/.config/serialpads/ports"));
    }
    CScopedVariable noConfig("XDG_CONFIG_HOME", nullptr);
    CScopedVariable noHome("HOME", nullptr);
    EXPECT_EQ(portDirectory(), fs::path());
    EXPECT_EQ(devicePathForPort(u"COM5:"), fs::path("/dev/rfcomm4"));
}

TEST(PortDirectory, OnlyBluetoothPortsWaitForALink)
{
    EXPECT_TRUE(waitsForLink(216)); // /dev/rfcomm*
    for (unsigned int other : { 4u, 136u, 166u, 188u }) // ttyS, pts, ttyACM, ttyUSB
        EXPECT_FALSE(waitsForLink(other)) << other;
}
