// One device an open port reads and writes, behind the small interface the port's
// reads, writes and reopening go through: a terminal (TerminalDevice.h) or an RFCOMM
// socket to a Bluetooth device (RfcommSocket.h). Either is taken exclusively from the
// moment it is opened, and lets go of everything it changed when destroyed.
#pragma once

#include "BluetoothLink.h"
#include "FileDescriptor.h"
#include "OpenFailure.h"
#include "SystemCall.h"

#include <chrono>
#include <memory>
#include <optional>
#include <termios.h>

// How long a link may take to come up. Paging a device that is out of range takes about
// 5 s on real radios, after which the kernel gives up; this is only the limit for a
// link that neither comes up nor fails.
inline constexpr std::chrono::milliseconds linkTimeout { 8000 };

// How long closing a port lets output the device has not taken yet leave before it is
// dropped. A healthy link or line empties its buffers in far less; only a device that
// has stopped taking bytes uses it all, and the window stays live meanwhile.
inline constexpr std::chrono::milliseconds closingGrace { 2000 };

// How often closing looks whether that output has left.
inline constexpr std::chrono::milliseconds drainStep { 20 };

// What a port keeps from one device to the next while it reopens a device that went
// away.
struct CKeptAcrossOpens {
    // A terminal's own settings, when putting them back failed as it went away (the
    // driver keeps a Bluetooth port's settings across opens): restored instead of the
    // raw settings that a later snapshot of the same device would find.
    struct CUnrestored {
        dev_t device = 0;
        termios own {};
    };
    std::optional<CUnrestored> unrestored;
    // The lock that reserves a Bluetooth port for this program (PortLock.h), kept from the
    // first open until the port is closed, across reconnections.
    CFileDescriptor lock;
};

class CPortDevice {
public:
    virtual ~CPortDevice() = default;

    // The descriptor reads and writes wait on.
    virtual int fd() const = 0;
    // Where its link stands, by looking only.
    virtual LinkState link() = 0;
    // Why the link did not come up, once link() said down or `timedOut`.
    virtual COpenFailure linkFailure(bool timedOut) const = 0;

    SysResult readSome(void* buffer, std::size_t count) { return sys::read(fd(), buffer, count); }
    virtual SysResult writeSome(const void* bytes, std::size_t count) = 0;
    // Whether a failed read or write means the device has gone for good.
    virtual bool isGoneError(int error) const = 0;

    // Lets go of the device, leaving in `kept` what the next open of the port needs.
    // `grace` is how long output not yet taken may still leave; then it is dropped, so
    // this returns within the grace and a few milliseconds.
    virtual void release(CKeptAcrossOpens& kept, std::chrono::milliseconds grace) = 0;
};

// One open of what port `number` (1 to 9) leads to now, without waiting for a link: a
// terminal opened non-blocking, taken and given its entry's line settings, or an RFCOMM
// socket whose connect has started. Null, with `failure` set, when it cannot be opened.
// `flags` is O_RDONLY, O_WRONLY or O_RDWR.
std::unique_ptr<CPortDevice> openPortDevice(
    int number, int flags, CKeptAcrossOpens& kept, COpenFailure& failure);
