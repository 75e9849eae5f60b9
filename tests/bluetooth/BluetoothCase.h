// What the Bluetooth cases of both programs share: the ports that never answer, the
// ways a link drops and comes back, and checks on the kernel's view of a port.
#pragma once

#include "PortDevice.h"
#include "PortRegistry.h"
#include "RemoteDevice.h"

#include <chrono>
#include <string>

// The page time-out of a real radio: a remote that does not answer must be reported
// within it (the emulated controllers give up at once).
inline constexpr std::chrono::seconds pageTimeout { 5 };

// Ports bound to a remote that never answers.
struct SilentPort {
    const char* name;
    int portNumber; // COM<n>: is /dev/rfcomm<n-1>
};
inline constexpr SilentPort silentPorts[] = {
    { "unreachable_address", 2 },
    { "nobody_listening", 3 },
};

// The three ways a link goes, and how the remote then comes back.
enum class LinkDropKind {
    remoteHangsUp, // closes the connection, goes on listening
    remoteKilled, // the remote's process dies; it is started again
    remotePoweredOff, // its controller goes off; it is switched on again
};
struct LinkDrop {
    const char* name;
    LinkDropKind kind;
};
inline constexpr LinkDrop linkDrops[] = {
    { "remote_hangs_up", LinkDropKind::remoteHangsUp },
    { "remote_killed", LinkDropKind::remoteKilled },
    { "remote_powered_off", LinkDropKind::remotePoweredOff },
};

// Makes the link of /dev/rfcomm0 drop as `drop` says; gives the moment it went.
std::chrono::steady_clock::time_point dropLink(CRemoteDevice& remote, const LinkDrop& drop);

// Brings the remote back after dropLink(); gives the moment it was back (for a remote
// that only hung up, the moment it did: it never stopped listening).
std::chrono::steady_clock::time_point bringBack(
    CRemoteDevice& remote, const LinkDrop& drop, std::chrono::steady_clock::time_point dropped);

// Runs the program's events for a while with the remote away and checks that it stays
// idle: no message box, and its processor time only a small share of the time passed
// (a program retrying in a busy loop would take all of it).
void expectIdleWhileAway(const std::string& measuredAs);

// The kernel's state of /dev/rfcomm<n> ("connected", "closed", "config", ...), as
// `rfcomm show` gives it.
std::string rfcommState(int device);

// No port directory is in use, so COM1: is /dev/rfcomm0.
void expectNoPortDirectory();

// Points port `number` at the remote device's address, with `channel` when not 0, the
// way a user sets it up: with the build tree's serialpads-ports.
void setBluetoothPort(int number, const std::string& address, int channel = 0);

// Times closeDevice() on `port` (opened for writing) after more output than the far end
// will ever take, and reports it as "<measuredAs>"; gives the time it took.
std::chrono::steady_clock::duration closeAfterUnreadOutput(
    const char16_t* port, const std::string& measuredAs);

// How long closing may take: the grace for unsent output and a little more.
inline constexpr std::chrono::milliseconds closingLimit
    = closingGrace + std::chrono::milliseconds(500);
