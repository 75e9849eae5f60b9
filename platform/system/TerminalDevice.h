// A terminal device opened by a port: looked at before it is opened (only a terminal is
// opened, nothing is created or changed), opened without blocking and never as the
// controlling terminal, then taken for exclusive use, made raw and given the line
// settings of the port's entry (TerminalGuard.h).
// A Bluetooth port bound with rfcomm (/dev/rfcomm<n>) has a link, which the kernel's
// RFCOMM state reports; any other terminal is up as soon as it is open.
#pragma once

#include "PortDevice.h"
#include "TerminalGuard.h"

#include <filesystem>
#include <memory>

class CTerminalDevice final : public CPortDevice {
public:
    // Opens the terminal at `path`, which port `portNumber` leads to, with `line` (what
    // is not given stays as the device has it). Null, with `failure` set, when it is
    // missing, not a terminal, not ours to open, busy, or keeps other line settings.
    static std::unique_ptr<CTerminalDevice> open(const std::filesystem::path& path, int portNumber,
        int flags, const CLineSettings& line, CKeptAcrossOpens& kept, COpenFailure& failure);

    ~CTerminalDevice() override;

    int fd() const override { return descriptor.get(); }
    LinkState link() override;
    COpenFailure linkFailure(bool timedOut) const override;
    SysResult writeSome(const void* bytes, std::size_t count) override;
    bool isGoneError(int error) const override;
    void release(CKeptAcrossOpens& kept, std::chrono::milliseconds grace) override;

private:
    CTerminalDevice() = default;

    // Declared before the guard so that the settings are put back before it closes.
    CFileDescriptor descriptor;
    CTerminalGuard terminal;
    std::filesystem::path path;
    dev_t device = 0;
    int portNumber = 0;
    bool bluetooth = false;
};
