// One open serial device: a terminal held for exclusive use, made raw so bytes pass
// unchanged, with the read and write time-outs of the port emulated over poll() and a
// monotonic clock. The device's own terminal settings are put back before it closes.
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

    // How long a Bluetooth port may take to bring its link up before opening fails.
    // Paging a device that is out of range takes about 5 s; the kernel usually hangs the
    // port up sooner when it gives up.
    static constexpr std::chrono::milliseconds carrierTimeout { 8000 };

    // Opens `device` with the access in `openFlags` (O_RDONLY, O_WRONLY or O_RDWR).
    // Only a terminal device is opened; nothing else is opened for writing, created or
    // changed. Gives null when the device is not a terminal, someone else holds it, or
    // (for a Bluetooth port) its link does not come up.
    static std::unique_ptr<CSerialPort> open(const std::filesystem::path& device, int openFlags);

    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Reads up to `count` bytes within the port's read time-outs; `got` receives how
    // many arrived. Returns false, with `got` 0, when the device has gone away and
    // nothing was read.
    bool read(void* buffer, std::uint32_t count, std::uint32_t& got);

    // Writes all `count` bytes, waiting for the device to accept them within
    // writeTimeLimit(). Returns false when that runs out or the device fails; `written`
    // then receives how many went out. A write that runs out leaves the port as it was:
    // the bytes it handed over stay handed over, and the next write starts after them.
    bool write(const void* bytes, std::uint32_t count, std::uint32_t& written);

    const COMMTIMEOUTS& timeouts() const { return limits; }
    void setTimeouts(const COMMTIMEOUTS& timeouts) { limits = timeouts; }

private:
    explicit CSerialPort(CFileDescriptor descriptor);

    // A hang-up is final for a descriptor, so once seen every later call fails at once.
    void noteGone() { gone = true; }

    // Declared before the guard so that the settings are put back before it closes.
    CFileDescriptor device;
    CTerminalGuard terminal;
    COMMTIMEOUTS limits = defaultTimeouts;
    bool gone = false;
};

// Whether opening a device of this major number must wait for its carrier before it
// counts as connected. Only Bluetooth RFCOMM ports do: opening one is what starts the
// connection, and carrier is how the link reports it is up. Other serial devices (USB
// adapters among them) often show no carrier at all and must open regardless.
bool waitsForCarrier(unsigned int deviceMajor);

// Whether the kernel describes this character device as something other than a
// terminal. Such a device is never opened, as opening some devices (a watchdog, a
// tape) already has an effect. Devices the kernel does not describe, such as
// pseudo-terminals, give false and are judged after opening.
bool isKnownNonTerminal(unsigned int deviceMajor, unsigned int deviceMinor);

// Restores and closes every port still open; runs when the program ends. Handles given
// out before become invalid.
void closeAllPorts();
