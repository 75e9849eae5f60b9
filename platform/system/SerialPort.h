// One open serial port: a device taken for exclusive use (a terminal made raw so bytes
// pass unchanged, or an RFCOMM socket to a Bluetooth device), with the port's time-outs
// emulated over poll() on a monotonic clock.
//
// A port outlives its device. When the device goes away (a Bluetooth link drops, a USB
// adapter is unplugged, the far end of a pseudo-terminal closes) the port lets go of
// it and, from within later reads and writes, opens the same port number again, its
// entry looked up afresh in the port directory (with its line settings): a non-blocking open (or
// connect) each time, spaced out as ReopenPlan.h says, so the one thread is never kept waiting by a
// device that is not there. Once the device is back, bytes flow again through the same handle.
#pragma once

#include "Platform.h"
#include "PortDevice.h"
#include "ReopenPlan.h"
#include "SerialTimeouts.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

class CSerialPort {
public:
    using Clock = SerialClock;

    // Opens what `portName` ("COM1:" to "COM9:") leads to, with the access in
    // `openFlags` (O_RDONLY, O_WRONLY or O_RDWR). Only a terminal device or a Bluetooth
    // device is opened; nothing else is opened for writing, created or changed. A port
    // with a link counts as open once the link is up; the wait goes through Waiting.h.
    // Gives null, with `failure` set, when it cannot be opened.
    static std::unique_ptr<CSerialPort> open(
        std::u16string_view portName, int openFlags, COpenFailure& failure);

    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Reads up to `count` bytes within the port's read time-outs; `got` receives how
    // many arrived. Returns false, with `got` 0, when the device has gone away and
    // nothing was read: the read that notices the loss returns at once; later ones wait
    // their time-outs, trying to open the device again whenever a try falls due.
    bool read(void* buffer, std::uint32_t count, std::uint32_t& got);

    // Writes all `count` bytes, waiting for the device to accept them until
    // writeDeadline(). Returns false when that passes or the device fails; `written`
    // then receives how many went out. A write that runs out leaves the port as it was:
    // the bytes it handed over stay handed over, and the next write starts after them.
    // A write while the device is away tries to open it again first (at most one try
    // every 0.5 s), so the next write after the device is back reaches it.
    bool write(const void* bytes, std::uint32_t count, std::uint32_t& written);

    const COMMTIMEOUTS& timeouts() const { return limits; }
    void setTimeouts(const COMMTIMEOUTS& timeouts) { limits = timeouts; }

    // Releases the device and stops trying to open it again; every later call fails.
    // Output the device has not taken gets closingGrace to leave and is then dropped,
    // so this returns within that. Never called while a call on the port waits (the
    // dialog framework sees to that; debug builds check it).
    void close();

private:
    enum class State { live, connecting, away, closed };
    enum class WhileAway { waitForTry, tryNow };

    CSerialPort() = default;

    // Lets go of a device that has gone away and plans the first try to open it again.
    void noteGone();
    // Makes the port live again if it can before `deadline`: opens the device when a try
    // is due (or at once, for `tryNow`, when the last try is 0.5 s old), and waits for a
    // link to come up. Without a try due before the deadline, waits there (`waitForTry`)
    // or gives up at once (`tryNow`).
    bool mend(std::optional<Clock::time_point> deadline, WhileAway whileAway);
    void tryReopen(Clock::time_point now);
    void dropDevice(std::chrono::milliseconds grace);
    // Every wait of a call on the port goes through here, so close() can check it is not
    // reached from inside one.
    short waitFor(int fd, short events, int timeoutMs);

    int number = 0; // 1 to 9, from the name given to open()
    int flags = 0;
    std::unique_ptr<CPortDevice> opened; // null while the device is away
    CKeptAcrossOpens kept;
    State state = State::live;
    COMMTIMEOUTS limits = defaultTimeouts;
    CReopenPlan plan;
    Clock::time_point connectingSince {};
    bool waiting = false;
};
