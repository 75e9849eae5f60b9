#include "TerminalGuard.h"

#include "LineSpeed.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace {

// The character size flags of 5, 6, 7 and 8 data bits.
constexpr tcflag_t sizeFlags[] = { CS5, CS6, CS7, CS8 };

tcflag_t sizeFlag(int dataBits)
{
    return dataBits >= 5 && dataBits < 8 ? sizeFlags[dataBits - 5] : CS8;
}

int dataBitsOf(tcflag_t flags)
{
    // The size bits always hold one of them.
    return 5 + int(std::ranges::find(sizeFlags, flags & CSIZE) - std::begin(sizeFlags));
}

} // namespace

termios CTerminalGuard::withLine(const termios& settings, const CLineSettings& line)
{
    termios result = settings;
    if (line.speed) {
        if (std::optional<unsigned> code = standardSpeedCode(*line.speed)) {
            // The input speed's own bits are cleared, so that it follows the output
            // speed: a device left with a custom input speed would otherwise keep it.
            result.c_cflag &= ~tcflag_t(CIBAUD);
            cfsetispeed(&result, speed_t(*code));
            cfsetospeed(&result, speed_t(*code));
        }
    }
    if (line.framing) {
        // Mark and space parity (CMSPAR) are not offered, so a device left with them gets
        // the parity asked for.
        result.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        result.c_cflag |= sizeFlag(line.framing->dataBits);
        if (line.framing->parity != EParity::none)
            result.c_cflag |= PARENB;
        if (line.framing->parity == EParity::odd)
            result.c_cflag |= PARODD;
        if (line.framing->stopBits == 2)
            result.c_cflag |= CSTOPB;
    }
    if (line.flow) {
        if (*line.flow == EFlow::rtscts)
            result.c_cflag |= CRTSCTS;
        else
            result.c_cflag &= ~tcflag_t(CRTSCTS);
    }
    return result;
}

CLineState CTerminalGuard::lineOf(const termios& settings)
{
    CLineState state;
    state.inputSpeed = speedOfCode(unsigned(cfgetispeed(&settings))).value_or(0);
    state.outputSpeed = speedOfCode(unsigned(cfgetospeed(&settings))).value_or(0);
    state.framing.dataBits = dataBitsOf(settings.c_cflag);
    state.framing.parity = !(settings.c_cflag & PARENB) ? EParity::none
        : settings.c_cflag & PARODD                     ? EParity::odd
                                                        : EParity::even;
    state.framing.stopBits = settings.c_cflag & CSTOPB ? 2 : 1;
    state.rtscts = settings.c_cflag & CRTSCTS;
    return state;
}

void CTerminalGuard::snapshotSpeed()
{
    savedInputSpeed = savedOutputSpeed = 0;
    if (!speedOfCode(unsigned(cfgetospeed(&saved))) || !speedOfCode(unsigned(cfgetispeed(&saved))))
        readTerminalSpeed(terminal, savedInputSpeed, savedOutputSpeed);
}

void CTerminalGuard::restoreSpeed()
{
    // Input and output at one speed is all a termios2 speed is ever set to here; a
    // device left with split custom speeds gets its output speed for both.
    if (savedOutputSpeed != 0)
        setTerminalSpeed(terminal, savedOutputSpeed);
}

SysResult CTerminalGuard::take(int fd, const CLineSettings& line, std::string& lineNotKept)
{
    lineNotKept.clear();
    terminal = fd;

    // Root may open a terminal in exclusive mode regardless (and tests run as root),
    // so a holder's exclusive mode is looked for rather than relied on. Kernels older
    // than 3.8 cannot report it; the lock below still keeps cooperating programs out.
    int heldExclusively = 0;
    if (sys::ioctl(fd, TIOCGEXCL, &heldExclusively).ok() && heldExclusively)
        return { -1, EBUSY };

    // The advisory lock is what other serial tools (and a second instance of ours)
    // check; it goes with the descriptor, so closing it is the release.
    if (SysResult lock = sys::flock(fd, LOCK_EX | LOCK_NB); !lock.ok())
        return lock.failedWith(EWOULDBLOCK) ? SysResult { -1, EBUSY } : lock;

    if (SysResult snapshot = sys::tcgetattr(fd, saved); !snapshot.ok())
        return snapshot;
    settingsSaved = true;
    snapshotSpeed();

    // Exclusive mode refuses later opens by programs that take no lock.
    if (SysResult exclusive = sys::ioctl(fd, TIOCEXCL); !exclusive.ok())
        return exclusive;
    exclusiveSet = true;

    // One change for the raw settings and the line together, so the device never runs
    // with the one and not the other; a speed without a constant follows at once, still
    // before anything is read or written.
    const termios wanted = withLine(rawFrom(saved), line);
    if (SysResult made = sys::tcsetattr(fd, TCSANOW, wanted); !made.ok()) {
        if (!line.empty() && made.failedWith(EINVAL))
            lineNotKept = "the device refused " + formatLineSettings(line) + " ("
                + std::generic_category().message(made.error) + ")";
        return made;
    }
    const bool customSpeed = line.speed && !standardSpeedCode(*line.speed);
    if (customSpeed) {
        if (int error = setTerminalSpeed(fd, *line.speed); error != 0) {
            lineNotKept = "the device refused the speed " + std::to_string(*line.speed) + " ("
                + std::generic_category().message(error) + ")";
            return { -1, error };
        }
    }
    // As the driver keeps them, which may differ from what was asked in bits it does
    // not support; compared with a later snapshot of the same device.
    if (!sys::tcgetattr(fd, applied).ok())
        applied = wanted;
    if (line.empty())
        return {};

    // Read back, as a driver takes what it can and says nothing: a USB adapter's driver
    // rounds a speed to one its chip can make, or keeps the old one, and may refuse a
    // framing (5 or 6 data bits) or hardware flow control it has no lines for; a
    // pseudo-terminal keeps any speed but always 8 data bits and no parity.
    CLineState kept = lineOf(applied);
    if (readTerminalSpeed(fd, kept.inputSpeed, kept.outputSpeed) != 0 && customSpeed) {
        kept.inputSpeed = 0;
        kept.outputSpeed = 0;
    }
    if (std::optional<std::string> difference = lineDifference(line, kept)) {
        lineNotKept = *difference;
        return { -1, EINVAL };
    }
    return {};
}
