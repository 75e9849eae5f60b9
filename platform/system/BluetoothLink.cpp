#include "BluetoothLink.h"

#include "FileDescriptor.h"
#include "SystemCall.h"

#include <cstdint>
#include <cstdio>
#include <sys/socket.h>
#include <system_error>

namespace {

// The kernel's RFCOMM interface, declared here rather than taken from a development
// package: these few values are fixed by the kernel's ABI.
struct CDeviceAddress {
    std::uint8_t bytes[6]; // least significant first
};

struct CRfcommDeviceInfo {
    std::int16_t id;
    std::uint32_t flags;
    std::uint16_t state;
    CDeviceAddress source;
    CDeviceAddress destination;
    std::uint8_t channel;
};
static_assert(sizeof(CDeviceAddress) == 6 && sizeof(CRfcommDeviceInfo) == 24);

constexpr unsigned long rfcommGetDeviceInfo = _IOR('R', 211, int);

// The connection states the RFCOMM layer reports.
enum : std::uint16_t {
    connected = 1,
    connecting = 5,
    connectingFurther = 6,
    configuring = 7,
};

std::string addressText(const CDeviceAddress& address)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address.bytes[5],
        address.bytes[4], address.bytes[3], address.bytes[2], address.bytes[1], address.bytes[0]);
    return text;
}

} // namespace

LinkState rfcommLinkState(std::uint16_t kernelState)
{
    switch (kernelState) {
    case connected:
        return LinkState::up;
    case connecting:
    case connectingFurther:
    case configuring:
        return LinkState::connecting;
    default:
        return LinkState::down;
    }
}

std::optional<CBluetoothLink> bluetoothLink(unsigned int portId)
{
    // Any RFCOMM socket answers questions about the bound ports; it is never connected.
    CFileDescriptor socket(::socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, rfcommProtocol));
    if (!socket.valid())
        return std::nullopt;
    CRfcommDeviceInfo info {};
    info.id = std::int16_t(portId);
    if (::ioctl(socket.get(), rfcommGetDeviceInfo, &info) != 0)
        return std::nullopt;

    CBluetoothLink link;
    link.state = rfcommLinkState(info.state);
    link.remote = addressText(info.destination);
    link.channel = info.channel;
    return link;
}

bool bluetoothAdapterPresent(const std::filesystem::path& bluetoothClass)
{
    std::error_code error;
    for (std::filesystem::directory_iterator next(bluetoothClass, error), end;
        !error && next != end; next.increment(error))
        if (next->path().filename().string().starts_with("hci"))
            return true;
    return false;
}
