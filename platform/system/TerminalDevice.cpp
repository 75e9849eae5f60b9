#include "TerminalDevice.h"

#include "DeviceClass.h"
#include "Waiting.h"

#include <sys/sysmacros.h>

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

COpenFailure failureAt(OpenFailureKind kind, int portNumber, const fs::path& path, int error = 0)
{
    COpenFailure failure;
    failure.kind = kind;
    failure.portNumber = portNumber;
    failure.path = path;
    failure.error = error;
    return failure;
}

COpenFailure silentRemote(int portNumber, const fs::path& path, dev_t device, bool timedOut)
{
    COpenFailure failure = failureAt(
        timedOut ? OpenFailureKind::linkTimedOut : OpenFailureKind::remoteSilent, portNumber, path);
    if (auto link = bluetoothLink(minor(device))) {
        failure.remote = link->remote;
        failure.channel = link->channel;
    }
    return failure;
}

COpenFailure inUseBy(int portNumber, const fs::path& path, dev_t device)
{
    COpenFailure failure = failureAt(OpenFailureKind::busy, portNumber, path, EBUSY);
    failure.holder = findDeviceHolder(device);
    return failure;
}

COpenFailure notSerial(int portNumber, const fs::path& path, mode_t type)
{
    COpenFailure failure = failureAt(OpenFailureKind::notSerial, portNumber, path, ENOTTY);
    failure.type = type;
    return failure;
}

} // namespace

std::unique_ptr<CTerminalDevice> CTerminalDevice::open(const fs::path& path, int portNumber,
    int flags, const CLineSettings& line, CKeptAcrossOpens& kept, COpenFailure& failure)
{
    // Look before opening: a regular file, a directory or a FIFO is never opened at all,
    // and neither is a device the kernel says is not a terminal.
    struct stat before {};
    if (SysResult looked = sys::stat(path.c_str(), before); !looked.ok()) {
        failure = failureAt(OpenFailureKind::noSuchDevice, portNumber, path, looked.error);
        return nullptr;
    }
    if (!S_ISCHR(before.st_mode)
        || isKnownNonTerminal(major(before.st_rdev), minor(before.st_rdev))) {
        failure = notSerial(portNumber, path, before.st_mode);
        return nullptr;
    }
    const bool bluetooth = waitsForLink(major(before.st_rdev));

    // Non-blocking, so a line without carrier cannot hold the open for ever (a blocking
    // open of a Bluetooth port whose remote does not answer waits 40 s and more); never
    // the controlling terminal, so a hang-up sends no signal to the program. No flag
    // here can create or truncate anything.
    SysResult opened = sys::open(path.c_str(), flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (!opened.ok()) {
        if (opened.failedWith(EACCES) || opened.failedWith(EPERM)) {
            failure = failureAt(OpenFailureKind::permission, portNumber, path, opened.error);
            failure.owner = before.st_uid;
            failure.group = before.st_gid;
            failure.mode = before.st_mode;
        } else if (opened.failedWith(EBUSY)) {
            failure = inUseBy(portNumber, path, before.st_rdev);
        } else if (opened.failedWith(ENOENT) || opened.failedWith(ENXIO)
            || opened.failedWith(ENODEV)) {
            failure = failureAt(OpenFailureKind::noSuchDevice, portNumber, path, opened.error);
        } else if (opened.failedWith(EHOSTUNREACH) || opened.failedWith(ENETDOWN)) {
            failure = failureAt(OpenFailureKind::adapterOff, portNumber, path, opened.error);
        } else {
            failure = failureAt(OpenFailureKind::otherError, portNumber, path, opened.error);
        }
        return nullptr;
    }
    std::unique_ptr<CTerminalDevice> terminalDevice(new CTerminalDevice);
    terminalDevice->descriptor = CFileDescriptor(int(opened.value));
    terminalDevice->path = path;
    terminalDevice->device = before.st_rdev;
    terminalDevice->portNumber = portNumber;
    terminalDevice->bluetooth = bluetooth;

    // The path may have been pointed elsewhere since it was looked at.
    struct stat after {};
    if (!sys::fstat(terminalDevice->fd(), after).ok() || !S_ISCHR(after.st_mode)
        || after.st_rdev != before.st_rdev) {
        failure = notSerial(portNumber, path, after.st_mode);
        return nullptr;
    }
    // A Bluetooth port whose remote cannot be reached is hung up within a millisecond of
    // the open, and a hung-up terminal answers EIO rather than ENOTTY here: that is a
    // remote that does not answer, not a device that is no terminal.
    if (!isatty(terminalDevice->fd())) {
        failure = bluetooth && errno == EIO ? silentRemote(portNumber, path, before.st_rdev, false)
                                            : notSerial(portNumber, path, after.st_mode);
        return nullptr;
    }

    std::string lineNotKept;
    if (SysResult taken = terminalDevice->terminal.take(terminalDevice->fd(), line, lineNotKept);
        !taken.ok()) {
        // Let go first, so that the search for the holder does not find this program's
        // own try; letting go puts the device's own settings back, so a line it did not
        // keep is never left half applied.
        terminalDevice.reset();
        if (!lineNotKept.empty()) {
            failure = failureAt(OpenFailureKind::lineNotKept, portNumber, path, taken.error);
            failure.lineAsked = formatLineSettings(line);
            failure.lineKept = lineNotKept;
        } else if (taken.failedWith(EBUSY)) {
            failure = inUseBy(portNumber, path, before.st_rdev);
        } else if (bluetooth && taken.failedWith(EIO)) {
            failure = silentRemote(portNumber, path, before.st_rdev, false);
        } else {
            failure = failureAt(OpenFailureKind::otherError, portNumber, path, taken.error);
        }
        return nullptr;
    }

    if (kept.unrestored) {
        termios current {};
        if (kept.unrestored->device == terminalDevice->device
            && sys::tcgetattr(terminalDevice->fd(), current).ok()
            && terminalDevice->terminal.isStillRaw(current))
            terminalDevice->terminal.restoreOnRelease(kept.unrestored->own);
        // Any other device, or settings changed meanwhile, are the device's own now.
        kept.unrestored.reset();
    }
    return terminalDevice;
}

CTerminalDevice::~CTerminalDevice() = default;

LinkState CTerminalDevice::link()
{
    if (!bluetooth)
        return LinkState::up;
    // Only a look, not a wait.
    if (hungUp(pollDescriptor(fd(), 0, 0)))
        return LinkState::down;
    if (auto bound = bluetoothLink(minor(device)))
        return bound->state;
    // Carrier is looked at only where the kernel cannot be asked.
    int lines = 0;
    SysResult status = sys::ioctl(fd(), TIOCMGET, &lines);
    if (status.failedWith(ENOTTY) || status.failedWith(EINVAL))
        return LinkState::up;
    if (!status.ok())
        return LinkState::down;
    return lines & TIOCM_CD ? LinkState::up : LinkState::connecting;
}

COpenFailure CTerminalDevice::linkFailure(bool timedOut) const
{
    return silentRemote(portNumber, path, device, timedOut);
}

SysResult CTerminalDevice::writeSome(const void* bytes, std::size_t count)
{
    return sys::write(fd(), bytes, count);
}

bool CTerminalDevice::isGoneError(int error) const
{
    // The device was hung up, unplugged or its link dropped.
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

void CTerminalDevice::release(CKeptAcrossOpens& kept, milliseconds grace)
{
    // Closing a terminal waits (up to 30 s by default) for output the driver still holds;
    // a Bluetooth remote that reads nothing holds it that long. So that output gets the
    // grace to leave, and only what the driver still holds unsent then is dropped.
    //
    // TIOCOUTQ is the driver's own count, and each kind counts differently:
    // - a pseudo-terminal always says 0: a write goes straight into the other side's
    //   input, where it waits for the far end to read. tcflush(TCOFLUSH) on it empties
    //   that input, so it would drop bytes the device took long ago (of an 8,001-byte
    //   line the far end had not read yet, 4,095 or none arrived); with 0 waiting,
    //   nothing is flushed.
    // - a USB adapter's driver (usb-serial) counts its write buffer and the bytes in
    //   transfers not yet completed; a flush clears only the buffer, and what the adapter
    //   has taken still goes out.
    // - a bound /dev/rfcomm node says one frame's size while its queue to the link is not
    //   empty, 0 once the link has it.
    // - an RFCOMM socket is no terminal; RfcommSocket.cpp says what it reports.
    const auto until = std::chrono::steady_clock::now() + grace;
    int waiting = 0;
    for (;;) {
        waiting = 0;
        if (!sys::ioctl(fd(), TIOCOUTQ, &waiting).ok() || waiting <= 0
            || std::chrono::steady_clock::now() >= until)
            break;
        waitForDescriptor(-1, 0, int(drainStep.count()));
    }
    if (waiting > 0)
        tcflush(fd(), TCOFLUSH);

    // A device that has gone usually refuses its settings back; the driver of a
    // Bluetooth port then keeps the raw ones until the port is opened again.
    const termios own = terminal.savedSettings();
    if (!terminal.release())
        kept.unrestored = CKeptAcrossOpens::CUnrestored { device, own };
    descriptor.reset();
}
