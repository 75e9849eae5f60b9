// A port's line settings, as a port entry carries them: speed, framing (data bits,
// parity, stop bits) and flow control, each of them optional; what is not given is
// left as the device has it. Both the command that writes entries and the serial layer
// that applies them parse and format the settings here, so they always agree.
//
// The text form is the one a user types after the device path:
//
//     SPEED [FRAMING [FLOW]]      115200        9600 7E1 rtscts        57600 8N2
//
// SPEED is a whole number of baud (no sign, no leading zero), FRAMING reads like 8N1
// (5 to 8 data bits; N, E or O; 1 or 2 stop bits) and FLOW is "none" or "rtscts".
//
// A device entry stores the device path and the settings in its link target, the path
// first and the settings after one blank ("/dev/ttyUSB0 115200 8N1"), so replacing the
// entry replaces both at once and `readlink` still names the device. The settings start
// at the first blank that is followed by a digit; a path with such a blank cannot be
// stored, and the command says so.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

enum class EParity { none, even, odd };
enum class EFlow { none, rtscts };

struct CFraming {
    int dataBits = 8; // 5 to 8
    EParity parity = EParity::none;
    int stopBits = 1; // 1 or 2

    friend bool operator==(const CFraming&, const CFraming&) = default;
};

struct CLineSettings {
    std::optional<std::uint32_t> speed;
    std::optional<CFraming> framing; // only with a speed
    std::optional<EFlow> flow; // only with a framing

    bool empty() const { return !speed && !framing && !flow; }
    friend bool operator==(const CLineSettings&, const CLineSettings&) = default;
};

// The largest speed accepted; what the driver makes of it is found out at Connect.
inline constexpr std::uint32_t highestSpeed = 100'000'000;

// Settings, or the one sentence that says which word is wrong and what is accepted.
struct CParsedLine {
    CLineSettings settings;
    std::string error; // empty when the words were good

    bool ok() const { return error.empty(); }
};

// The words after the device path, one to three of them (none gives empty settings).
CParsedLine parseLineSettings(std::span<const std::string_view> words);
// The same from one text of words separated by single blanks.
CParsedLine parseLineSettings(std::string_view text);
// "115200", "9600 7E1 rtscts": what parseLineSettings() reads back as `settings`, with
// `separator` between the words.
std::string formatLineSettings(const CLineSettings& settings, char separator = ' ');
std::string formatFraming(const CFraming& framing);

// The Bxxx constant of a standard speed, or nothing for any other.
std::optional<unsigned> standardSpeedCode(std::uint32_t speed);
// The speed a Bxxx constant stands for, or nothing for one that is not a speed.
std::optional<std::uint32_t> speedOfCode(unsigned code);

// A device entry's link target split into its path and its settings.
struct CDeviceEntry {
    std::string path;
    CLineSettings settings;
    std::string error; // why the settings cannot be read; empty when they can

    bool ok() const { return error.empty(); }
};

CDeviceEntry parseDeviceEntry(std::string_view linkTarget);
// The link target for `path` with `settings`; just the path when there are none.
std::string formatDeviceEntry(std::string_view path, const CLineSettings& settings);
// Whether `path` could be stored in an entry without being read back differently.
bool isStorablePath(std::string_view path);

// The line as a device keeps it, read back after the settings were applied.
struct CLineState {
    std::uint32_t inputSpeed = 0;
    std::uint32_t outputSpeed = 0;
    CFraming framing;
    bool rtscts = false;
};

// What the device kept differently from what was asked, in the words of the settings
// ("speed 250000 asked, 9600 kept"); nothing when it kept every part that was asked.
std::optional<std::string> lineDifference(const CLineSettings& asked, const CLineState& kept);
