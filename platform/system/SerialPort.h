// One open serial port: a terminal held for exclusive use, made raw so bytes pass
// unchanged, with the read and write time-outs of the port emulated over poll() and a
// monotonic clock. The device's own terminal settings are put back before it closes.
//
// A port outlives its device. When the device goes away (a Bluetooth link drops, a USB
// adapter is unplugged, the far end of a pseudo-terminal closes) the port lets go of
// it and, from within later reads and writes, opens the port name again, looked up
// afresh in the port directory: a non-blocking open each time, spaced out from 0.5 s
// to 5 s, so the one thread is never held by a device that is not there. Once the
// device is back, bytes flow again through the same handle.
//
// openDevice() and the other operations in Platform.h keep open ports in a registry by
// handle; ports still open when the program ends are closed the same way.
#pragma once

#include "FileDescriptor.h"
#include "Platform.h"
#include "TerminalGuard.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

class CSerialPort {
public:
    using Clock = std::chrono::steady_clock;

    // What a port reports before anyone sets its time-outs. A read returns as soon as
    // any byte is there and waits up to 100 ms for the first one when none is, so a
    // reader that never sets time-outs still neither spins nor hangs. A write may take
    // 10 ms per byte (enough for 1200 baud) plus 5 s, and never more than longestWrite.
    static constexpr COMMTIMEOUTS defaultTimeouts {
        MAXDWORD, // ReadIntervalTimeout
        MAXDWORD, // ReadTotalTimeoutMultiplier
        100, // ReadTotalTimeoutConstant
        10, // WriteTotalTimeoutMultiplier
        5000, // WriteTotalTimeoutConstant
    };

    // The longest one write may wait for a line that has stopped taking bytes, whatever
    // the time-outs say: the program waits on its one thread meanwhile, so a long line
    // on a stalled device must give up within a time a user will sit out.
    static constexpr std::chrono::milliseconds longestWrite { 30'000 };

    // How long a write of `count` bytes may take under `timeouts`: the multiplier times
    // the count plus the constant (both 0: no limit of their own), at most longestWrite.
    static std::chrono::milliseconds writeTimeLimit(
        const COMMTIMEOUTS& timeouts, std::uint32_t count);

    // How long a Bluetooth port may take to bring its link up. Paging a device that is
    // out of range takes about 5 s, after which the kernel hangs the port up; this is
    // only the limit for a link that neither comes up nor fails.
    static constexpr std::chrono::milliseconds linkTimeout { 8000 };

    // The wait before the n-th try (from 0) to open a device that has gone away:
    // 0.5 s, doubling up to 5 s.
    static std::chrono::milliseconds retryDelay(unsigned int attempt);

    // Opens the device that `portName` ("COM1:" to "COM9:") designates, with the access
    // in `openFlags` (O_RDONLY, O_WRONLY or O_RDWR). Only a terminal device is opened;
    // nothing else is opened for writing, created or changed. A Bluetooth port counts as
    // open once its link is up. Gives null, with the cause recorded (OpenFailure.h),
    // when the device is missing, not a terminal, not ours to open, held by someone
    // else, or a Bluetooth remote that does not answer.
    static std::unique_ptr<CSerialPort> open(std::u16string_view portName, int openFlags);

    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Reads up to `count` bytes within the port's read time-outs; `got` receives how
    // many arrived. Returns false, with `got` 0, when the device has gone away and
    // nothing was read: the read that notices the loss returns at once; later ones wait
    // their time-outs, trying to open the device again whenever a try falls due.
    bool read(void* buffer, std::uint32_t count, std::uint32_t& got);

    // Writes all `count` bytes, waiting for the device to accept them within
    // writeTimeLimit(). Returns false when that runs out or the device fails; `written`
    // then receives how many went out. A write that runs out leaves the port as it was:
    // the bytes it handed over stay handed over, and the next write starts after them.
    // A write while the device is away tries to open it again first (at most one try
    // every 0.5 s), so the next write after the device is back reaches it.
    bool write(const void* bytes, std::uint32_t count, std::uint32_t& written);

    const COMMTIMEOUTS& timeouts() const { return limits; }
    void setTimeouts(const COMMTIMEOUTS& timeouts) { limits = timeouts; }

    // Releases the device now and stops trying to open it again; every later call
    // fails. Runs when the handle is closed, even while a call on the port is waiting.
    void close();

    // Whether a device is held and in use (false while it is away or a link comes up).
    bool isLive() const { return state == State::live; }

    // One device, as held while it is open.
    struct CHeldDevice;

private:
    enum class State { live, connecting, away, closed };
    enum class WhileAway { waitForTry, tryNow };

    CSerialPort(std::u16string portName, int openFlags, std::unique_ptr<CHeldDevice> device);

    // Lets go of a device that has gone away and plans the first try to open it again.
    void noteGone();
    // Makes the port live again if it can before `deadline`: opens the device when a try
    // is due (or at once, for `tryNow`, when the last try is 0.5 s old), and waits for a
    // Bluetooth link to come up. Without a try due before the deadline, waits there
    // (`waitForTry`) or gives up at once (`tryNow`).
    bool mend(std::optional<Clock::time_point> deadline, WhileAway whileAway);
    void tryReopen(Clock::time_point now);
    void dropDevice();

    std::u16string name;
    int flags = 0;
    std::unique_ptr<CHeldDevice> held;
    State state = State::live;
    COMMTIMEOUTS limits = defaultTimeouts;

    // The reopening plan while the device is away.
    unsigned int failedTries = 0;
    Clock::time_point lastTry {};
    Clock::time_point nextTry {};
    Clock::time_point connectingSince {};

    // The device's own settings, when putting them back failed as it went away (the
    // driver keeps a Bluetooth port's settings across opens): restored instead of the
    // raw settings that a later snapshot of the same device would find.
    struct CUnrestored {
        dev_t device = 0;
        termios own {};
    };
    std::optional<CUnrestored> unrestored;
};

// Whether a device of this major number brings up a link when opened, so that opening
// it waits for that link before it counts as open. Only Bluetooth RFCOMM ports do.
// Other serial devices (USB adapters among them) often show no carrier at all and are
// open as soon as the descriptor is.
bool waitsForLink(unsigned int deviceMajor);

// Whether the kernel describes this character device as something other than a
// terminal. Such a device is never opened, as opening some devices (a watchdog, a
// tape) already has an effect. Devices the kernel does not describe, such as
// pseudo-terminals, give false and are judged after opening.
bool isKnownNonTerminal(unsigned int deviceMajor, unsigned int deviceMinor);

// Restores and closes every port still open; runs when the program ends. Handles given
// out before become invalid.
void closeAllPorts();
