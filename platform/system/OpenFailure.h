// Why opening a port failed, as a value that describe() turns into the user's sentence.
// It carries the kind of failure, the errno behind it, the device or lock file involved
// and what the system showed at that moment (the owner and group of a device refused
// for want of permission, the program with a busy port, the Bluetooth remote with its
// channel). The serial layer keeps the last failure of openDevice() the way errno keeps
// the last error: the programs see only the invalid handle, and the dialog framework
// takes the failure when it tells the user the port could not be opened.
#pragma once

#include "DeviceHolder.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

enum class OpenFailureKind {
    notAPortName, // the name is not "COM1:" to "COM9:"
    directoryUnreadable, // the port directory's entry cannot be looked at
    noEntry, // no entry, and no /dev/rfcomm<n-1> either
    noSuchDevice, // the entry leads nowhere
    notSerial, // a file, directory or device that is not a terminal
    permission, // the system refused this user
    busy, // another program has the port in use
    remoteSilent, // a bound /dev/rfcomm port whose remote does not answer
    linkTimedOut, // a Bluetooth link that neither came up nor failed in time
    adapterAbsent, // no Bluetooth adapter at all
    adapterOff, // an adapter, but switched off
    remoteUnreachable, // no such device, or not in range
    channelRefused, // the device answers, but nobody listens on that channel
    notPaired, // pairing is missing or authentication failed
    lineNotKept, // the device kept other line settings than the entry asks, or refused them
    lineSettingsDamaged, // the entry's line settings cannot be read
    noSerialPort, // the device answers, but its service records name no serial port
    otherError, // any other errno, named as the system names it
};

struct COpenFailure {
    OpenFailureKind kind = OpenFailureKind::otherError;
    int error = 0; // the errno behind it, 0 when none
    int portNumber = 0; // 1 to 9, 0 when the name was no port name
    // The device path the port led to (an entry of the port directory or
    // /dev/rfcomm<n-1>), or the lock file of a Bluetooth port in use elsewhere.
    std::filesystem::path path;
    mode_t type = 0; // the file type found at `path`, for notSerial
    // Owner, group and mode of a device refused for want of permission.
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    std::optional<CDeviceHolder> holder; // for busy, when /proc shows one
    std::string remote; // a Bluetooth device's address, "00:1A:7D:DA:71:13"
    int channel = 0; // its RFCOMM channel, 0 when unknown
    // For lineNotKept: the settings asked, and how the device differed ("speed 250000
    // asked, 9600 kept"). For lineSettingsDamaged: what is wrong with them.
    std::string lineAsked;
    std::string lineKept;
};

// Keeps `failure` as the last failed open, replacing any earlier one.
void recordOpenFailure(COpenFailure failure);
// Forgets the last failure; a successful open does this, so that a later message is
// never given the cause of an old failure.
void clearOpenFailure();
// The last failure, if any; taking it clears it.
std::optional<COpenFailure> takeLastOpenFailure();

// One sentence (UTF-8) that names the device and says what the user can do about it.
std::string describe(const COpenFailure& failure);
