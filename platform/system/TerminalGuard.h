// Everything the serial layer changes about a terminal while it has one open, undone when
// it lets go: exclusive use, the raw settings that let bytes pass unchanged, and the
// line settings of the port's entry (LineSettings.h). The device's own settings are
// snapshotted before anything changes and put back exactly, so another program finds
// the device as it was.
//
// The guard does not own the descriptor; it must be released (or destroyed) before the
// descriptor closes, which the owner ensures by declaring the guard after the
// descriptor.
#pragma once

#include "LineSettings.h"
#include "SystemCall.h"

#include <algorithm>
#include <cstdint>
#include <string>

class CTerminalGuard {
public:
    CTerminalGuard() = default;
    ~CTerminalGuard() { release(); }
    CTerminalGuard(const CTerminalGuard&) = delete;
    CTerminalGuard& operator=(const CTerminalGuard&) = delete;

    // Takes the terminal behind `fd` for exclusive use, makes it raw and gives it
    // `line`. Fails with EBUSY when someone else has it in use; when the driver keeps line
    // settings other than those asked (or refuses them), fails with EINVAL and says how
    // in `lineNotKept`. On failure, whatever was already changed stays recorded and is
    // undone by release().
    SysResult take(int fd, const CLineSettings& line, std::string& lineNotKept);

    // The device's own settings, as snapshotted when it was taken.
    const termios& savedSettings() const { return saved; }
    // Whether the device's settings are still the raw ones this guard made.
    bool isStillRaw(const termios& current) const { return sameSettings(current, applied); }
    // Makes `own` the settings put back on release, in place of the snapshot: for a
    // device taken again after it went away, when putting its settings back failed then
    // and the snapshot taken now holds only the raw settings left behind.
    void restoreOnRelease(const termios& own)
    {
        saved = own;
        savedInputSpeed = savedOutputSpeed = 0;
    }

    // Puts the snapshot back with TCSANOW: bytes already written have been processed
    // and sit in the driver, so they go out unchanged, and TCSADRAIN could wait forever
    // on a line whose flow control has stopped. On a device that has gone away these
    // calls fail with EIO, which changes nothing about releasing it; the result says
    // whether the device has its own settings back.
    bool release()
    {
        bool restored = true;
        if (settingsSaved) {
            restored = sys::tcsetattr(terminal, TCSANOW, saved).ok();
            restoreSpeed();
        }
        // A pseudo-terminal's state outlives this descriptor while its master is open,
        // so exclusive mode must be cleared explicitly or nobody could open it again.
        if (exclusiveSet)
            sys::ioctl(terminal, TIOCNXCL);
        settingsSaved = false;
        exclusiveSet = false;
        return restored;
    }

    static bool sameSettings(const termios& a, const termios& b)
    {
        return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
            && a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)
            && cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
    }

    // The device's settings with every kind of processing switched off and the line
    // settings (speed, character size, parity, stop bits, hardware flow control
    // CRTSCTS and modem control) left as they are. Software flow control (IXON, IXOFF,
    // IXANY) is the one line setting switched off: with it on, 0x11 and 0x13 from the
    // device would be taken as XON and XOFF and never reach the program. release()
    // puts it back with the rest. cfmakeraw() is not used because it forces 8N1.
    static termios rawFrom(const termios& device)
    {
        termios raw = device;
        // No CR/NL translation, no stripping to 7 bits, no software flow control, no
        // case mapping, and no marking of errors (PARMRK would also double every 0xFF).
        // A break is a line condition, not a byte: it is ignored rather than read as 0x00
        // or turned into a signal.
        raw.c_iflag |= IGNBRK;
        raw.c_iflag &= ~tcflag_t(
            BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC);
        raw.c_oflag &= ~tcflag_t(OPOST | ONLCR | OCRNL | ONOCR | ONLRET | OLCUC);
        // No echo, no line editing, no signals from received bytes, no extended input
        // processing such as the literal-next character.
        raw.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON
            | ISIG | IEXTEN | XCASE | TOSTOP);
        // The receiver is switched on; nothing else of c_cflag changes, so CRTSCTS stays
        // as the device has it.
        raw.c_cflag |= CREAD;
        // A read returns what is there at once; time-outs are kept by the caller.
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        return raw;
    }

    // `settings` with the parts of `line` that are given: a standard speed (any other
    // goes through termios2 after these are set), the framing and RTS/CTS flow control.
    // Parts not given stay as they are.
    static termios withLine(const termios& settings, const CLineSettings& line);
    // The line a terminal's settings describe; the speeds come from termios2 where the
    // device can tell them, as the standard constants cannot name every speed.
    static CLineState lineOf(const termios& settings);

private:
    // A speed without a standard constant is not in `saved`, which can only say "some
    // other speed"; it is kept and put back through termios2 (TerminalGuard.cpp).
    void snapshotSpeed();
    void restoreSpeed();

    int terminal = -1;
    termios saved {};
    std::uint32_t savedInputSpeed = 0;
    std::uint32_t savedOutputSpeed = 0;
    termios applied {};
    bool settingsSaved = false;
    bool exclusiveSet = false;
};
