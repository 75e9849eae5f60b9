#include "SerialPort.h"

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

namespace {

// The kernel's fixed major number of /dev/rfcomm*.
constexpr unsigned int rfcommMajor = 216;

// How often the carrier is looked at while a Bluetooth link comes up.
constexpr milliseconds carrierPollStep { 100 };

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

bool hungUp(const pollfd& entry)
{
    return entry.revents & (POLLHUP | POLLERR | POLLNVAL);
}

// Errors after which the descriptor can never work again: the device was hung up,
// unplugged or its link dropped.
bool isGoneError(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

// Opening a Bluetooth port starts paging the remote device; the link is up when carrier
// shows. A device that cannot be reached makes the kernel hang the port up, which poll
// reports at once; otherwise the carrier is looked at every step until the deadline.
bool waitForCarrier(int fd)
{
    auto deadline = CSerialPort::Clock::now() + CSerialPort::carrierTimeout;
    for (;;) {
        int lines = 0;
        SysResult status = sys::ioctl(fd, TIOCMGET, &lines);
        // A terminal without modem lines cannot report carrier; it is not a failed port.
        if (status.failedWith(ENOTTY) || status.failedWith(EINVAL))
            return true;
        if (!status.ok())
            return false;
        if (lines & TIOCM_CD)
            return true;
        if (CSerialPort::Clock::now() >= deadline)
            return false;
        pollfd entry { fd, 0, 0 };
        entry.revents = waitForDescriptor(
            fd, 0, std::min(pollTimeout(deadline), int(carrierPollStep.count())));
        if (hungUp(entry))
            return false;
    }
}

} // namespace

bool waitsForCarrier(unsigned int deviceMajor)
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

CSerialPort::CSerialPort(CFileDescriptor descriptor)
    : device(std::move(descriptor))
{
}

std::unique_ptr<CSerialPort> CSerialPort::open(const fs::path& path, int openFlags)
{
    // Look before opening: a regular file, a directory or a FIFO is never opened at all,
    // and neither is a device the kernel says is not a terminal.
    struct stat before { };
    if (!sys::stat(path.c_str(), before).ok() || !S_ISCHR(before.st_mode))
        return nullptr;
    if (isKnownNonTerminal(major(before.st_rdev), minor(before.st_rdev)))
        return nullptr;

    // Non-blocking, so a line without carrier cannot hold the open for ever; never the
    // controlling terminal, so a hang-up sends no signal to the program. No flag here
    // can create or truncate anything.
    SysResult opened = sys::open(path.c_str(), openFlags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (!opened.ok())
        return nullptr;
    std::unique_ptr<CSerialPort> port(new CSerialPort(CFileDescriptor(int(opened.value))));
    int fd = port->device.get();

    // The path may have been pointed elsewhere since it was looked at.
    struct stat after { };
    if (!sys::fstat(fd, after).ok() || !S_ISCHR(after.st_mode) || after.st_rdev != before.st_rdev
        || !isatty(fd))
        return nullptr;

    if (!port->terminal.take(fd).ok())
        return nullptr;

    if (waitsForCarrier(major(after.st_rdev)) && !waitForCarrier(fd))
        return nullptr;
    return port;
}

bool CSerialPort::read(void* buffer, std::uint32_t count, std::uint32_t& got)
{
    got = 0;
    if (gone)
        return false;
    if (count == 0)
        return true;

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

    Clock::time_point lastByte = start;
    for (;;) {
        std::optional<Clock::time_point> deadline = totalDeadline;
        if (got > 0 && byteGap)
            deadline = std::min(deadline.value_or(Clock::time_point::max()), lastByte + *byteGap);

        pollfd entry { device.get(), POLLIN, 0 };
        entry.revents = waitForDescriptor(entry.fd, entry.events, pollTimeout(deadline));

        if (entry.revents & POLLIN) {
            SysResult n = sys::read(device.get(), out + got, count - got);
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
        if (hungUp(entry)) {
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
    if (gone)
        return false;

    const auto* in = static_cast<const unsigned char*>(bytes);
    const Clock::time_point deadline = Clock::now() + writeTimeLimit(limits, count);

    while (written < count) {
        SysResult n = sys::write(device.get(), in + written, count - written);
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
        pollfd entry { device.get(), POLLOUT, 0 };
        entry.revents = waitForDescriptor(entry.fd, entry.events, pollTimeout(deadline));
        if (hungUp(entry)) {
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
    if (!name || shareMode != 0 || security || creation != OPEN_EXISTING
        || (templateFile != 0 && templateFile != invalidHandle))
        return invalidHandle;
    std::optional<int> flags = openFlagsFor(access);
    if (!flags)
        return invalidHandle;
    std::optional<fs::path> device = devicePathForPort(boundedName(name));
    if (!device)
        return invalidHandle;
    std::unique_ptr<CSerialPort> port = CSerialPort::open(*device, *flags);
    if (!port)
        return invalidHandle;
    // A new connection starts a new byte stream.
    endDecodingStreams();
    return CPortRegistry::instance().add(std::move(port));
}

bool closeDevice(Handle handle)
{
    if (CPortRegistry::instance().remove(handle) == nullptr)
        return false;
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
