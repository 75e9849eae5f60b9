// The serial operations of Platform.h: each checks its arguments, finds the port by its
// handle and hands over to it. openDevice() keeps why it failed (OpenFailure.h).
#include "OpenFailure.h"
#include "PortRegistry.h"

#include <fcntl.h>
#include <optional>

namespace {

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

Handle openDevice(const char16_t* name, std::uint32_t access, std::uint32_t shareMode,
    const void* security, std::uint32_t creation, std::uint32_t /*attributes*/, Handle templateFile)
{
    // A serial device is never shared and always exists already. "No template" may be
    // written as 0 or as the invalid handle. The attributes are ignored: every port
    // works the same way here, and nothing they could ask for (overlapped use) is
    // offered.
    clearOpenFailure();
    CPortRegistry::instance().countOpen();
    if (!name || shareMode != 0 || security || creation != OPEN_EXISTING
        || (templateFile != 0 && templateFile != invalidHandle))
        return invalidHandle;
    std::optional<int> flags = openFlagsFor(access);
    if (!flags)
        return invalidHandle;
    COpenFailure failure;
    std::unique_ptr<CSerialPort> port = CSerialPort::open(boundedName(name), *flags, failure);
    if (!port) {
        recordOpenFailure(std::move(failure));
        return invalidHandle;
    }
    return CPortRegistry::instance().add(std::move(port));
}

bool closeDevice(Handle handle)
{
    std::unique_ptr<CSerialPort> port = CPortRegistry::instance().remove(handle);
    if (!port)
        return false;
    port->close();
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
