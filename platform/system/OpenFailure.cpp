// The last failed open, kept for the message box, and the sentences that tell the user
// about a failure.
#include "OpenFailure.h"

#include "AccountNames.h"
#include "PortDirectory.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The last failure of openDevice(), kept for the process as errno keeps the last error:
// openDevice() sets or clears it, the dialog framework takes it. Nothing else keeps it.
std::optional<COpenFailure>& lastOpenFailure()
{
    static std::optional<COpenFailure> failure;
    return failure;
}

std::string errorText(int error)
{
    return std::generic_category().message(error);
}

// The device as the user knows it: an entry of the port directory shown with where it
// leads, so both names the user may look for appear.
std::string deviceName(const fs::path& path)
{
    std::error_code error;
    fs::path target = fs::read_symlink(path, error);
    return error ? path.string() : path.string() + " (" + target.string() + ")";
}

std::string holderText(const COpenFailure& failure)
{
    if (!failure.holder)
        return "another program";
    return "another program: " + failure.holder->name + " (pid "
        + std::to_string(failure.holder->pid) + ")";
}

// The Bluetooth device as the user set it: its address and, when known, the channel.
std::string remoteText(const COpenFailure& failure)
{
    std::string text = "The Bluetooth device " + failure.remote;
    if (failure.channel > 0)
        text += " (channel " + std::to_string(failure.channel) + ")";
    return text;
}

} // namespace

void recordOpenFailure(COpenFailure failure)
{
    lastOpenFailure() = std::move(failure);
}

void clearOpenFailure()
{
    lastOpenFailure().reset();
}

std::optional<COpenFailure> takeLastOpenFailure()
{
    return std::exchange(lastOpenFailure(), std::nullopt);
}

std::string describe(const COpenFailure& failure)
{
    const std::string name = deviceName(failure.path);
    const std::string number = std::to_string(failure.portNumber);
    switch (failure.kind) {
    case OpenFailureKind::notAPortName:
        return "That is not a port name.";
    case OpenFailureKind::directoryUnreadable:
        return "The port directory " + portDirectory().string() + " cannot be looked at.";
    case OpenFailureKind::noEntry: {
        fs::path directory = portDirectory();
        std::string entry = directory.empty()
            ? "in a port directory (neither SERIALPADS_PORTS nor HOME is set)"
            : (directory / ("com" + number)).string();
        return "Port " + number + " has no entry " + entry
            + ", and there is no Bluetooth serial port " + failure.path.string()
            + " (set one with: serialpads-ports set " + number + " <address>).";
    }
    case OpenFailureKind::noSuchDevice:
        if (failure.error == ENOENT || failure.error == ENOTDIR)
            return name
                + " does not exist: the device is unplugged, switched off or named differently "
                  "now.";
        if (failure.error == ENXIO || failure.error == ENODEV)
            return name + " is not present: the device is unplugged or switched off.";
        return name + " cannot be looked at: " + errorText(failure.error) + ".";
    case OpenFailureKind::notSerial: {
        const char* what = "a character device that is not a terminal";
        if (S_ISREG(failure.type))
            what = "a regular file";
        else if (S_ISDIR(failure.type))
            what = "a directory";
        else if (S_ISFIFO(failure.type))
            what = "a named pipe";
        else if (S_ISSOCK(failure.type))
            what = "a socket";
        else if (S_ISBLK(failure.type))
            what = "a block device";
        return name + " is " + what + ", not a serial device.";
    }
    case OpenFailureKind::permission: {
        if (!failure.remote.empty())
            return "You may not reach " + failure.remote + " over Bluetooth from this program ("
                + errorText(failure.error) + ").";
        // Serial devices are usually open to one group; joining it is the usual remedy.
        if (failure.group != 0 && (failure.mode & (S_IRGRP | S_IWGRP))) {
            std::string group = groupName(failure.group);
            return "You may not open " + name + ": join its group " + group + " (sudo usermod -aG "
                + group + " $USER), then log out and in again.";
        }
        char modeText[8];
        std::snprintf(modeText, sizeof modeText, "%04o", unsigned(failure.mode & 07777));
        return "You may not open " + name + ": it belongs to " + userName(failure.owner)
            + " and the group " + groupName(failure.group) + ", with mode " + modeText + ".";
    }
    case OpenFailureKind::busy:
        if (!failure.remote.empty())
            return "Port " + number + " (Bluetooth " + failure.remote + ") is held by "
                + holderText(failure) + ".";
        return name + " is held by " + holderText(failure) + ".";
    case OpenFailureKind::remoteSilent:
    case OpenFailureKind::linkTimedOut: {
        std::string remote = failure.remote.empty() ? "The Bluetooth device" : remoteText(failure);
        std::string verdict = failure.kind == OpenFailureKind::linkTimedOut
            ? " did not bring the link up in time"
            : " does not answer";
        std::string bound = failure.path.empty() ? "" : " bound to " + name;
        return remote + bound + verdict
            + ": check that it is switched on, within range and accepting connections.";
    }
    case OpenFailureKind::adapterAbsent:
        return "This computer has no Bluetooth adapter to reach " + failure.remote + ".";
    case OpenFailureKind::adapterOff:
        if (failure.remote.empty())
            return "No Bluetooth adapter is switched on to reach " + name
                + " (bluetoothctl power on).";
        return "The Bluetooth adapter is switched off (bluetoothctl power on).";
    case OpenFailureKind::remoteUnreachable:
        return remoteText(failure)
            + " cannot be reached: check that it is switched on and within range.";
    case OpenFailureKind::channelRefused:
        return remoteText(failure)
            + " answers, but nothing accepts connections on that channel: check the channel, "
              "or that its serial service is running.";
    case OpenFailureKind::notPaired:
        return remoteText(failure)
            + " refused the connection: pair it first in the desktop's Bluetooth settings ("
            + errorText(failure.error) + ").";
    case OpenFailureKind::lineNotKept:
        return name + " did not keep the line settings of port " + number + " (" + failure.lineKept
            + "); its own settings are put back. Give the port settings the device takes: "
              "serialpads-ports set "
            + number + " <device> <speed> [<framing> [<flow>]].";
    case OpenFailureKind::lineSettingsDamaged:
        return "The entry " + name + " has line settings that cannot be read: " + failure.lineKept
            + " Set the port again: serialpads-ports set " + number + " <device> [<speed> ...].";
    case OpenFailureKind::noSerialPort:
        return remoteText(failure)
            + " offers no serial port: its service records name no Serial Port service"
              " (is it the right device? Give a channel if it has one: serialpads-ports set "
            + number + " " + failure.remote + " CHANNEL).";
    case OpenFailureKind::otherError:
        break;
    }
    if (!failure.remote.empty())
        return remoteText(failure) + " could not be connected: " + errorText(failure.error) + ".";
    return name + " could not be opened: " + errorText(failure.error) + ".";
}
