#include "SerialPort.h"

#include "BluetoothLink.h"
#include "OpenFailure.h"
#include "PortDirectory.h"
#include "TextCodec.h"
#include "Waiting.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/sysmacros.h>
#include <utility>

namespace fs = std::filesystem;
using std::chrono::milliseconds;

struct CSerialPort::CHeldDevice {
    // Declared before the guard so that the settings are put back before it closes.
    CFileDescriptor descriptor;
    CTerminalGuard terminal;
    fs::path path;
    dev_t device = 0;
    bool bluetooth = false;

    int fd() const { return descriptor.get(); }
};

namespace {

using CHeldDevice = CSerialPort::CHeldDevice;

// How often a link that is coming up is looked at.
constexpr milliseconds linkPollStep { 20 };

// The shortest spacing of tries to open a device that has gone away.
constexpr milliseconds firstRetryDelay { 500 };
constexpr milliseconds longestRetryDelay { 5000 };

// The poll() time-out that waits until `deadline`, rounded up so that a wait never ends
// before it; -1 (no limit) without a deadline.
int pollTimeout(std::optional<CSerialPort::Clock::time_point> deadline)
{
    if (!deadline)
        return -1;
    auto left = std::chrono::ceil<milliseconds>(*deadline - CSerialPort::Clock::now());
    return int(std::clamp<milliseconds::rep>(left.count(), 0, 60'000));
}

// The moment `span` milliseconds after `start`. Spans beyond a few decades (a
// multiplier of MAXDWORD times a large count) are cut there, which is the same as no
// limit and keeps the clock's arithmetic from overflowing.
CSerialPort::Clock::time_point deadlineAfter(
    CSerialPort::Clock::time_point start, std::uint64_t span)
{
    constexpr std::uint64_t longest = std::uint64_t(1) << 40;
    return start + milliseconds(milliseconds::rep(std::min(span, longest)));
}

bool hungUp(short events)
{
    return events & (POLLHUP | POLLERR | POLLNVAL);
}

// Errors after which the descriptor can never work again: the device was hung up,
// unplugged or its link dropped.
bool isGoneError(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

// Where a Bluetooth port's link stands. The kernel's RFCOMM state decides; carrier is
// looked at only where the kernel cannot be asked. A hang-up is final either way.
LinkState linkState(const CHeldDevice& device)
{
    if (!device.bluetooth)
        return LinkState::up;
    // Only a look, not a wait.
    if (hungUp(pollDescriptor(device.fd(), 0, 0)))
        return LinkState::down;
    if (auto link = bluetoothLink(minor(device.device)))
        return link->state;
    int lines = 0;
    SysResult status = sys::ioctl(device.fd(), TIOCMGET, &lines);
    if (status.failedWith(ENOTTY) || status.failedWith(EINVAL))
        return LinkState::up;
    if (!status.ok())
        return LinkState::down;
    return lines & TIOCM_CD ? LinkState::up : LinkState::connecting;
}

// One open of the device a port name designates now, without waiting for anything:
// the checks before opening, the non-blocking open, and taking the terminal. Gives
// null with the cause in `why`.
std::unique_ptr<CHeldDevice> openTerminal(std::u16string_view name, int openFlags, std::string& why)
{
    std::optional<int> number = portNumberFromName(name);
    std::optional<fs::path> path = devicePathForPort(name);
    if (!number || !path) {
        why = number ? "The port directory " + portDirectory().string() + " cannot be looked at."
                     : "That is not a port name.";
        return nullptr;
    }

    // Look before opening: a regular file, a directory or a FIFO is never opened at all,
    // and neither is a device the kernel says is not a terminal.
    struct stat before {};
    if (SysResult looked = sys::stat(path->c_str(), before); !looked.ok()) {
        why = noSuchDeviceReason(*number, *path, looked.error);
        return nullptr;
    }
    if (!S_ISCHR(before.st_mode)
        || isKnownNonTerminal(major(before.st_rdev), minor(before.st_rdev))) {
        why = notSerialReason(*path, before.st_mode);
        return nullptr;
    }
    const bool bluetooth = waitsForLink(major(before.st_rdev));

    // Non-blocking, so a line without carrier cannot hold the open for ever (a blocking
    // open of a Bluetooth port whose remote does not answer waits 40 s and more); never
    // the controlling terminal, so a hang-up sends no signal to the program. No flag
    // here can create or truncate anything.
    SysResult opened = sys::open(path->c_str(), openFlags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (!opened.ok()) {
        if (opened.failedWith(EACCES) || opened.failedWith(EPERM))
            why = permissionReason(*path, before.st_uid, before.st_gid, before.st_mode);
        else if (opened.failedWith(EBUSY))
            why = heldReason(*path, before.st_rdev);
        else if (opened.failedWith(ENOENT))
            why = noSuchDeviceReason(*number, *path, ENOENT);
        else
            why = openErrorReason(*path, int(opened.error));
        return nullptr;
    }
    auto device = std::make_unique<CHeldDevice>();
    device->descriptor = CFileDescriptor(int(opened.value));
    device->path = *path;
    device->device = before.st_rdev;
    device->bluetooth = bluetooth;

    // The path may have been pointed elsewhere since it was looked at.
    struct stat after {};
    if (!sys::fstat(device->fd(), after).ok() || !S_ISCHR(after.st_mode)
        || after.st_rdev != before.st_rdev) {
        why = notSerialReason(*path, after.st_mode);
        return nullptr;
    }
    // A Bluetooth port whose remote cannot be reached is hung up within a millisecond of
    // the open, and a hung-up terminal answers EIO rather than ENOTTY here: that is a
    // remote that does not answer, not a device that is no terminal.
    if (!isatty(device->fd())) {
        int error = errno;
        if (bluetooth && error == EIO)
            why = silentRemoteReason(*path, minor(before.st_rdev), false);
        else
            why = notSerialReason(*path, after.st_mode);
        return nullptr;
    }

    if (SysResult taken = device->terminal.take(device->fd()); !taken.ok()) {
        // Let go first, so that the search for the holder does not find this program's
        // own try.
        device.reset();
        if (taken.failedWith(EBUSY))
            why = heldReason(*path, before.st_rdev);
        else if (bluetooth && taken.failedWith(EIO))
            why = silentRemoteReason(*path, minor(before.st_rdev), false);
        else
            why = openErrorReason(*path, taken.error);
        return nullptr;
    }
    return device;
}

} // namespace

bool waitsForLink(unsigned int deviceMajor)
{
    return deviceMajor == rfcommMajor;
}

bool isKnownNonTerminal(unsigned int deviceMajor, unsigned int deviceMinor)
{
    fs::path subsystem = "/sys/dev/char/" + std::to_string(deviceMajor) + ":"
        + std::to_string(deviceMinor) + "/subsystem";
    std::error_code error;
    fs::path target = fs::read_symlink(subsystem, error);
    if (error)
        return false;
    return target.filename() != "tty";
}

milliseconds CSerialPort::retryDelay(unsigned int attempt)
{
    milliseconds delay = firstRetryDelay;
    for (unsigned int i = 0; i < attempt && delay < longestRetryDelay; ++i)
        delay *= 2;
    return std::min(delay, longestRetryDelay);
}

CSerialPort::CSerialPort(
    std::u16string portName, int openFlags, std::unique_ptr<CHeldDevice> device)
    : name(std::move(portName))
    , flags(openFlags)
    , held(std::move(device))
{
}

CSerialPort::~CSerialPort() = default;

std::unique_ptr<CSerialPort> CSerialPort::open(std::u16string_view portName, int openFlags)
{
    std::string why;
    std::unique_ptr<CHeldDevice> device = openTerminal(portName, openFlags, why);
    if (!device) {
        recordOpenFailure(std::move(why));
        return nullptr;
    }

    // Opening a Bluetooth port starts paging the remote device. A remote that cannot be
    // reached makes the kernel hang the port up (about 5 s on real radios, at once when
    // nobody listens), which the wait reports at once.
    if (device->bluetooth) {
        const auto deadline = Clock::now() + linkTimeout;
        for (;;) {
            LinkState link = linkState(*device);
            if (link == LinkState::up)
                break;
            bool timedOut = Clock::now() >= deadline;
            if (link == LinkState::down || timedOut) {
                fs::path path = device->path;
                unsigned int id = minor(device->device);
                device.reset();
                recordOpenFailure(silentRemoteReason(path, id, timedOut));
                return nullptr;
            }
            waitForDescriptor(
                device->fd(), 0, std::min(pollTimeout(deadline), int(linkPollStep.count())));
        }
    }
    clearOpenFailure();
    return std::unique_ptr<CSerialPort>(
        new CSerialPort(std::u16string(portName), openFlags, std::move(device)));
}

void CSerialPort::close()
{
    dropDevice();
    unrestored.reset();
    state = State::closed;
}

void CSerialPort::dropDevice()
{
    if (!held)
        return;
    // A device that has gone usually refuses its settings back; the driver of a
    // Bluetooth port then keeps the raw ones until the port is opened again.
    const termios own = held->terminal.savedSettings();
    const dev_t device = held->device;
    if (!held->terminal.release())
        unrestored = CUnrestored { device, own };
    held.reset();
}

void CSerialPort::noteGone()
{
    dropDevice();
    // What comes after the device returns is a new byte stream: a character the loss cut
    // must not be finished by it.
    endDecodingStreams();
    state = State::away;
    const auto now = Clock::now();
    lastTry = now;
    nextTry = now + retryDelay(failedTries);
}

void CSerialPort::tryReopen(Clock::time_point now)
{
    lastTry = now;
    std::string why; // nobody is told: the port is still open as far as the program knows
    std::unique_ptr<CHeldDevice> device = openTerminal(name, flags, why);
    if (!device) {
        nextTry = now + retryDelay(++failedTries);
        return;
    }
    if (unrestored) {
        termios current {};
        if (unrestored->device == device->device && sys::tcgetattr(device->fd(), current).ok()
            && device->terminal.isStillRaw(current))
            device->terminal.restoreOnRelease(unrestored->own);
        // Any other device, or settings changed meanwhile, are the device's own now.
        unrestored.reset();
    }
    held = std::move(device);
    connectingSince = now;
    state = held->bluetooth ? State::connecting : State::live;
    if (state == State::live)
        failedTries = 0;
}

bool CSerialPort::mend(std::optional<Clock::time_point> deadline, WhileAway whileAway)
{
    bool tried = false;
    for (;;) {
        const auto now = Clock::now();
        switch (state) {
        case State::live:
            return true;
        case State::closed:
            return false;
        case State::connecting: {
            LinkState link = linkState(*held);
            if (link == LinkState::up) {
                state = State::live;
                failedTries = 0;
                return true;
            }
            if (link == LinkState::down || now >= connectingSince + linkTimeout) {
                dropDevice();
                state = State::away;
                nextTry = now + retryDelay(++failedTries);
                continue;
            }
            if (deadline && now >= *deadline)
                return false;
            int step = int(linkPollStep.count());
            waitForDescriptor(
                held->fd(), 0, deadline ? std::min(pollTimeout(deadline), step) : step);
            continue;
        }
        case State::away: {
            bool due = now >= nextTry;
            if (whileAway == WhileAway::tryNow)
                due = !tried && (due || now >= lastTry + firstRetryDelay);
            if (due) {
                tried = true;
                tryReopen(now);
                continue;
            }
            if (whileAway == WhileAway::tryNow)
                return false;
            // Nothing to wait on but time; -1 makes the wait a plain sleep that still
            // goes through the installed waiter.
            if (deadline && *deadline <= nextTry) {
                waitForDescriptor(-1, 0, pollTimeout(deadline));
                return false;
            }
            waitForDescriptor(-1, 0, pollTimeout(nextTry));
            continue;
        }
        }
    }
}

bool CSerialPort::read(void* buffer, std::uint32_t count, std::uint32_t& got)
{
    got = 0;
    if (count == 0)
        return state == State::live;

    auto* out = static_cast<unsigned char*>(buffer);
    const auto start = Clock::now();
    const std::uint32_t interval = limits.ReadIntervalTimeout;
    const std::uint32_t multiplier = limits.ReadTotalTimeoutMultiplier;
    const std::uint32_t constant = limits.ReadTotalTimeoutConstant;

    // Whether the read ends as soon as any byte is there, rather than when `count` have
    // arrived or a time-out has run out.
    bool returnWhenAny = false;
    std::optional<Clock::time_point> totalDeadline;
    std::optional<milliseconds> byteGap;
    if (interval == MAXDWORD && multiplier == 0 && constant == 0) {
        returnWhenAny = true;
        totalDeadline = start;
    } else if (interval == MAXDWORD && multiplier == MAXDWORD && constant != 0
        && constant != MAXDWORD) {
        returnWhenAny = true;
        totalDeadline = deadlineAfter(start, constant);
    } else {
        if (multiplier != 0 || constant != 0)
            totalDeadline = deadlineAfter(start, std::uint64_t(multiplier) * count + constant);
        if (interval != 0)
            byteGap = milliseconds(interval);
    }

    // While the device is away the read spends its time-out waiting for the next try,
    // so a reader calling in a loop stays idle rather than spinning.
    if (!mend(totalDeadline, WhileAway::waitForTry))
        return false;

    Clock::time_point lastByte = start;
    for (;;) {
        std::optional<Clock::time_point> deadline = totalDeadline;
        if (got > 0 && byteGap)
            deadline = std::min(deadline.value_or(Clock::time_point::max()), lastByte + *byteGap);

        short events = waitForDescriptor(held->fd(), POLLIN, pollTimeout(deadline));
        // The waiter may have let the program close the port meanwhile.
        if (state != State::live)
            break;

        if (events & POLLIN) {
            SysResult n = sys::read(held->fd(), out + got, count - got);
            if (n.value > 0) {
                got += std::uint32_t(n.value);
                lastByte = Clock::now();
                if (got == count || returnWhenAny)
                    return true;
                continue;
            }
            // Readable yet nothing to read is how a terminal that has been hung up
            // reports end of stream.
            if (n.value == 0 || isGoneError(n.error)) {
                noteGone();
                break;
            }
            // Any other failure (a port opened for writing only) would fail again at
            // once; polling on would spin until the time-out.
            if (!n.failedWith(EAGAIN))
                break;
        }
        if (hungUp(events)) {
            noteGone();
            break;
        }
        if (deadline && Clock::now() >= *deadline)
            return true;
    }
    return got > 0;
}

milliseconds CSerialPort::writeTimeLimit(const COMMTIMEOUTS& timeouts, std::uint32_t count)
{
    if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0)
        return longestWrite;
    std::uint64_t span = std::uint64_t(timeouts.WriteTotalTimeoutMultiplier) * count
        + timeouts.WriteTotalTimeoutConstant;
    return milliseconds(milliseconds::rep(std::min(span, std::uint64_t(longestWrite.count()))));
}

bool CSerialPort::write(const void* bytes, std::uint32_t count, std::uint32_t& written)
{
    written = 0;

    const auto* in = static_cast<const unsigned char*>(bytes);
    const Clock::time_point deadline = Clock::now() + writeTimeLimit(limits, count);

    // A write is what the user does on purpose, so one to a device that is away tries
    // to open it again now rather than at the next planned try; a Bluetooth link that
    // comes up is waited for within the time-out, as bytes queued on a link that then
    // fails would be lost.
    if (!mend(deadline, WhileAway::tryNow))
        return false;

    while (written < count) {
        SysResult n = sys::write(held->fd(), in + written, count - written);
        if (n.value > 0) {
            written += std::uint32_t(n.value);
            continue;
        }
        if (!n.ok() && !n.failedWith(EAGAIN)) {
            if (isGoneError(n.error))
                noteGone();
            return false;
        }
        // The device's buffer is full: wait until it takes more, the time-out runs out
        // or the device goes away.
        if (Clock::now() >= deadline)
            return false;
        short events = waitForDescriptor(held->fd(), POLLOUT, pollTimeout(deadline));
        if (state != State::live)
            return false;
        if (hungUp(events)) {
            noteGone();
            return false;
        }
    }
    return true;
}

namespace {

// Open ports by handle. Operations take a shared reference for their duration, so a
// port closed meanwhile is released only when the last of them finishes.
class CPortRegistry {
public:
    static CPortRegistry& instance()
    {
        // Never destroyed: a static object whose destructor closes a port must still find
        // the registry, whatever the order of destruction. Ports are closed by the exit
        // handler instead, which runs before any static object built earlier is
        // destroyed.
        static CPortRegistry* registry = [] {
            auto* created = new CPortRegistry;
            std::atexit(closeAllPorts);
            return created;
        }();
        return *registry;
    }

    Handle add(std::shared_ptr<CSerialPort> port)
    {
        std::lock_guard lock(mutex);
        // Handles count up from 1 and are never reused, so a stale handle cannot reach a
        // port opened later; they never reach invalidHandle.
        Handle handle = nextHandle++;
        ports.emplace(handle, std::move(port));
        return handle;
    }

    std::shared_ptr<CSerialPort> find(Handle handle)
    {
        std::lock_guard lock(mutex);
        auto found = ports.find(handle);
        return found == ports.end() ? nullptr : found->second;
    }

    std::shared_ptr<CSerialPort> remove(Handle handle)
    {
        std::lock_guard lock(mutex);
        auto found = ports.find(handle);
        if (found == ports.end())
            return nullptr;
        auto port = std::move(found->second);
        ports.erase(found);
        return port;
    }

    // The ports are released outside the lock: releasing one restores its settings,
    // which is a system call.
    std::map<Handle, std::shared_ptr<CSerialPort>> removeAll()
    {
        std::lock_guard lock(mutex);
        return std::exchange(ports, {});
    }

private:
    std::mutex mutex;
    std::map<Handle, std::shared_ptr<CSerialPort>> ports;
    Handle nextHandle = 1;
};

std::optional<int> openFlagsFor(std::uint32_t access)
{
    switch (access) {
    case GENERIC_READ:
        return O_RDONLY;
    case GENERIC_WRITE:
        return O_WRONLY;
    case GENERIC_READ | GENERIC_WRITE:
        return O_RDWR;
    default:
        return std::nullopt;
    }
}

// The name up to its NUL, if that comes within the longest name that could be a port's.
std::u16string_view boundedName(const char16_t* name)
{
    constexpr std::size_t longest = 8;
    std::size_t length = 0;
    while (length <= longest && name[length] != u'\0')
        ++length;
    return { name, length };
}

} // namespace

void closeAllPorts()
{
    CPortRegistry::instance().removeAll();
}

Handle openDevice(const char16_t* name, std::uint32_t access, std::uint32_t shareMode,
    const void* security, std::uint32_t creation, std::uint32_t /*attributes*/, Handle templateFile)
{
    // A serial device is never shared and always exists already. "No template" may be
    // written as 0 or as the invalid handle. The attributes are ignored: every port
    // works the same way here, and nothing they could ask for (overlapped use) is
    // offered.
    clearOpenFailure();
    if (!name || shareMode != 0 || security || creation != OPEN_EXISTING
        || (templateFile != 0 && templateFile != invalidHandle))
        return invalidHandle;
    std::optional<int> flags = openFlagsFor(access);
    if (!flags)
        return invalidHandle;
    std::unique_ptr<CSerialPort> port = CSerialPort::open(boundedName(name), *flags);
    if (!port)
        return invalidHandle;
    // A new connection starts a new byte stream.
    endDecodingStreams();
    return CPortRegistry::instance().add(std::move(port));
}

bool closeDevice(Handle handle)
{
    // Closed now, even if a call on the port (waiting through the installed waiter) still
    // holds it; that call then ends without opening anything again.
    std::shared_ptr<CSerialPort> port = CPortRegistry::instance().remove(handle);
    if (!port)
        return false;
    port->close();
    endDecodingStreams();
    return true;
}

bool writeDevice(Handle handle, const void* bytes, std::uint32_t count, std::uint32_t* written,
    const void* overlapped)
{
    std::uint32_t done = 0;
    bool complete = false;
    if (auto port = CPortRegistry::instance().find(handle);
        port && !overlapped && (bytes || count == 0))
        complete = port->write(bytes, count, done);
    if (written)
        *written = done;
    return complete;
}

bool readDevice(
    Handle handle, void* buffer, std::uint32_t count, std::uint32_t* read, const void* overlapped)
{
    std::uint32_t got = 0;
    bool succeeded = false;
    if (auto port = CPortRegistry::instance().find(handle);
        port && !overlapped && (buffer || count == 0))
        succeeded = port->read(buffer, count, got);
    if (read)
        *read = got;
    return succeeded;
}

bool getTimeouts(Handle handle, COMMTIMEOUTS* timeouts)
{
    auto port = CPortRegistry::instance().find(handle);
    if (!port || !timeouts)
        return false;
    *timeouts = port->timeouts();
    return true;
}

bool setTimeouts(Handle handle, const COMMTIMEOUTS* timeouts)
{
    auto port = CPortRegistry::instance().find(handle);
    if (!port || !timeouts)
        return false;
    port->setTimeouts(*timeouts);
    return true;
}
