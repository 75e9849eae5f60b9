#include "RfcommSocket.h"

#include "Waiting.h"

#include <algorithm>
#include <cstdint>
#include <sys/socket.h>

using std::chrono::milliseconds;

namespace {

// The kernel's RFCOMM socket address, declared here rather than taken from a
// development package: it is fixed by the kernel's ABI.
struct CRfcommAddress {
    sa_family_t family;
    std::uint8_t address[6]; // least significant byte first
    std::uint8_t channel;
};
static_assert(sizeof(CRfcommAddress) == 10);

} // namespace

LinkState socketLinkState(short events, int pendingError)
{
    if (pendingError != 0 || (events & (POLLERR | POLLHUP | POLLNVAL)))
        return LinkState::down;
    return events & POLLOUT ? LinkState::up : LinkState::connecting;
}

OpenFailureKind connectFailureKind(int error, bool hasAdapter)
{
    switch (error) {
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
        return OpenFailureKind::adapterAbsent;
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case EADDRNOTAVAIL:
    case ENODEV:
        return hasAdapter ? OpenFailureKind::adapterOff : OpenFailureKind::adapterAbsent;
    case EHOSTDOWN:
    case ETIMEDOUT:
        return OpenFailureKind::remoteUnreachable;
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
        return OpenFailureKind::channelRefused;
    case EACCES:
    case EBADE:
    case EKEYREJECTED:
    case EKEYEXPIRED:
        return OpenFailureKind::notPaired;
    case EPERM:
        return OpenFailureKind::permission;
    default:
        return OpenFailureKind::otherError;
    }
}

std::unique_ptr<CRfcommSocket> CRfcommSocket::connect(
    const CBluetoothTarget& target, int portNumber, COpenFailure& failure)
{
    failure = {};
    failure.portNumber = portNumber;
    failure.remote = formatBluetoothAddress(target.address);
    failure.channel = target.channel;

    std::unique_ptr<CRfcommSocket> device(new CRfcommSocket);
    device->target = target;
    device->channel = target.channel;
    device->portNumber = portNumber;
    if (target.channel == 0) {
        // The channel is the device's to say; the connect starts once it has.
        device->lookup.emplace(target.address);
        if (device->lookUpChannel() == LinkState::down) {
            failure = device->linkFailure(false);
            return nullptr;
        }
        return device;
    }
    return device->startConnect(failure) ? std::move(device) : nullptr;
}

bool CRfcommSocket::startConnect(COpenFailure& failure)
{
    failure.channel = channel;
    socket = CFileDescriptor(
        ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, rfcommProtocol));
    if (!socket.valid()) {
        failure.error = errno;
        // Refused at the socket itself, the system (a sandbox, a security module) keeps
        // this program from Bluetooth altogether.
        failure.kind = failure.error == EACCES || failure.error == EPERM
            ? OpenFailureKind::permission
            : connectFailureKind(failure.error, bluetoothAdapterPresent());
        return false;
    }
    CRfcommAddress address {};
    address.family = AF_BLUETOOTH;
    std::ranges::reverse_copy(target.address.bytes, address.address);
    address.channel = std::uint8_t(channel);
    SysResult started = sys::result(
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
    if (!started.ok() && !started.failedWith(EINPROGRESS)) {
        failure.error = started.error;
        failure.kind = connectFailureKind(started.error, bluetoothAdapterPresent());
        socket.reset();
        return false;
    }
    return true;
}

LinkState CRfcommSocket::lookUpChannel()
{
    switch (lookup->step()) {
    case CServiceLookup::State::asking:
        return LinkState::connecting;
    case CServiceLookup::State::found: {
        channel = lookup->channel();
        lookup.reset();
        COpenFailure failure;
        if (!startConnect(failure)) {
            lastError = failure.error;
            lookupFailure = failure.kind;
            return LinkState::down;
        }
        return LinkState::connecting;
    }
    case CServiceLookup::State::noSerialPort:
        lookup.reset();
        lookupFailure = OpenFailureKind::noSerialPort;
        return LinkState::down;
    case CServiceLookup::State::failed:
        lastError = lookup->error();
        lookup.reset();
        // An answer that made no sense is no cause the user can act on by its errno; a
        // device that has no service discovery server at all offers no serial port.
        if (lastError == EBADMSG || lastError == EPROTO)
            lookupFailure = OpenFailureKind::otherError;
        else if (lastError == ECONNREFUSED)
            lookupFailure = OpenFailureKind::noSerialPort;
        else
            lookupFailure = connectFailureKind(lastError, bluetoothAdapterPresent());
        return LinkState::down;
    }
    return LinkState::down;
}

LinkState CRfcommSocket::link()
{
    if (lookup)
        return lookUpChannel();
    if (!socket.valid())
        return LinkState::down;
    short events = pollDescriptor(fd(), POLLOUT, 0);
    int error = (events & (POLLOUT | POLLERR | POLLHUP)) ? sys::pendingError(fd()) : 0;
    LinkState state = socketLinkState(events, error);
    if (state == LinkState::down)
        lastError = error ? error : ECONNRESET;
    return state;
}

COpenFailure CRfcommSocket::linkFailure(bool timedOut) const
{
    COpenFailure failure;
    failure.portNumber = portNumber;
    failure.remote = formatBluetoothAddress(target.address);
    failure.channel = channel;
    failure.error = timedOut ? ETIMEDOUT : lastError;
    if (timedOut)
        failure.kind = OpenFailureKind::linkTimedOut;
    else if (!socket.valid())
        failure.kind = lookupFailure; // the lookup, or the connect it led to, failed
    else
        failure.kind = connectFailureKind(lastError, bluetoothAdapterPresent());
    return failure;
}

SysResult CRfcommSocket::writeSome(const void* bytes, std::size_t count)
{
    // Never a SIGPIPE for a link that has dropped: that is an error like any other.
    return sys::restarting([&] { return ::send(fd(), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

bool CRfcommSocket::isGoneError(int error) const
{
    // A connected stream socket that fails for any other reason than a full buffer has
    // lost its connection for good (reset, timed out, remote powered off, adapter off).
    return error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS && error != ENOMEM;
}

void CRfcommSocket::release(CKeptAcrossOpens& /*kept*/, milliseconds grace)
{
    lookup.reset();
    if (!socket.valid())
        return;
    // Output not yet taken gets the grace to leave. For a Bluetooth socket TIOCOUTQ tells
    // the free room in the send buffer: the output has left when all of it is free.
    int buffer = 0;
    socklen_t length = sizeof buffer;
    if (::getsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &buffer, &length) == 0) {
        const auto until = std::chrono::steady_clock::now() + grace;
        for (;;) {
            int room = 0;
            if (!sys::ioctl(fd(), TIOCOUTQ, &room).ok() || room >= buffer
                || std::chrono::steady_clock::now() >= until)
                break;
            if (pollDescriptor(fd(), 0, 0) & (POLLHUP | POLLERR))
                break;
            waitForDescriptor(-1, 0, int(drainStep.count()));
        }
    }
    // Whatever is left is dropped: no lingering on close.
    linger dropAll { 1, 0 };
    ::setsockopt(fd(), SOL_SOCKET, SO_LINGER, &dropAll, sizeof dropAll);
    socket.reset();
}
