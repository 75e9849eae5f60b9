// A Bluetooth device reached directly by an RFCOMM socket, as a port entry that names
// its address leads to. The kernel lets any user connect one: no bound /dev/rfcomm
// node, no root and no dialout group. Without a channel in the entry, the channel is
// looked up in the device's service records at every connect (ServiceDiscovery.h), so
// a device that offers its serial port on another channel than 1, or moves it, is
// still reached; a channel in the entry is used as given. The lookup and the connect
// run without blocking; the port waits for them through Waiting.h, so windows stay
// live meanwhile. Another program is kept out by the port's lock file (PortLock.h),
// which the port holds, not the socket.
#pragma once

#include "BluetoothAddress.h"
#include "PortDevice.h"
#include "ServiceDiscovery.h"

#include <memory>
#include <optional>

class CRfcommSocket final : public CPortDevice {
public:
    // Starts connecting to `target` for port `portNumber`. Null, with `failure` set,
    // when the connect fails at once (no adapter, adapter off, ...).
    static std::unique_ptr<CRfcommSocket> connect(
        const CBluetoothTarget& target, int portNumber, COpenFailure& failure);

    int fd() const override { return lookup ? lookup->fd() : socket.get(); }
    LinkState link() override;
    COpenFailure linkFailure(bool timedOut) const override;
    SysResult writeSome(const void* bytes, std::size_t count) override;
    bool isGoneError(int error) const override;
    void release(CKeptAcrossOpens& kept, std::chrono::milliseconds grace) override;

private:
    CRfcommSocket() = default;

    // Starts the RFCOMM connect on `channel`; false with `failure` set when it fails at once.
    bool startConnect(COpenFailure& failure);
    // Moves the lookup on; down once it has failed or found no serial port.
    LinkState lookUpChannel();

    // The channel's lookup while it is under way.
    std::optional<CServiceLookup> lookup;
    OpenFailureKind lookupFailure = OpenFailureKind::otherError;
    CFileDescriptor socket;
    CBluetoothTarget target;
    int channel = 0; // 0 until looked up
    int portNumber = 0;
    int lastError = 0; // why the connect failed, once link() has seen it fail
};

// Where a socket's connect stands, from the events poll() reports for POLLOUT and the
// error SO_ERROR gives: writable without an error is up; an error or a hang-up is down;
// anything else is still connecting (the kernel reports no POLLOUT until then).
LinkState socketLinkState(short events, int pendingError);

// What a failed Bluetooth connect means for the user, from its errno and whether the
// system has a Bluetooth adapter at all.
OpenFailureKind connectFailureKind(int error, bool adapterPresent);
