// A port entry's link target, as anyone may write it by hand: split into a device path
// and line settings, or refused as a whole. Whatever is accepted must format back to
// the same settings, and a target the command would write must read back as written;
// a refused target must set nothing, so that no part of it is ever applied.
#include "LineSettings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define require(condition)                                                                         \
    ((condition) ? void() : (std::fprintf(stderr, "broken: %s\n", #condition), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string target(reinterpret_cast<const char*>(data), size);
    CDeviceEntry entry = parseDeviceEntry(target);
    if (!entry.ok()) {
        require(entry.settings.empty());
        require(!entry.error.empty());
        require(entry.error.find('\n') == std::string::npos);
        return 0;
    }
    require(target.starts_with(entry.path));
    if (entry.settings.speed) {
        require(*entry.settings.speed >= 1 && *entry.settings.speed <= highestSpeed);
    } else {
        require(!entry.settings.framing && !entry.settings.flow);
    }
    if (entry.settings.framing) {
        require(entry.settings.framing->dataBits >= 5 && entry.settings.framing->dataBits <= 8);
        require(entry.settings.framing->stopBits == 1 || entry.settings.framing->stopBits == 2);
    }
    const std::string written = formatDeviceEntry(entry.path, entry.settings);
    CDeviceEntry again = parseDeviceEntry(written);
    require(again.ok());
    require(again.path == entry.path);
    require(again.settings == entry.settings);
    return 0;
}
