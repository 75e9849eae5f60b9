#include "LineSettings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <termios.h>
#include <utility>
#include <vector>

namespace {

struct CSpeedCode {
    std::uint32_t speed;
    unsigned code;
};

// Every speed the terminal interface has a constant for; B134 is 134.5 baud, which a
// whole number can only name as 134.
constexpr std::array standardSpeeds {
    CSpeedCode { 50, B50 },
    CSpeedCode { 75, B75 },
    CSpeedCode { 110, B110 },
    CSpeedCode { 134, B134 },
    CSpeedCode { 150, B150 },
    CSpeedCode { 200, B200 },
    CSpeedCode { 300, B300 },
    CSpeedCode { 600, B600 },
    CSpeedCode { 1200, B1200 },
    CSpeedCode { 1800, B1800 },
    CSpeedCode { 2400, B2400 },
    CSpeedCode { 4800, B4800 },
    CSpeedCode { 9600, B9600 },
    CSpeedCode { 19200, B19200 },
    CSpeedCode { 38400, B38400 },
    CSpeedCode { 57600, B57600 },
    CSpeedCode { 115200, B115200 },
    CSpeedCode { 230400, B230400 },
    CSpeedCode { 460800, B460800 },
    CSpeedCode { 500000, B500000 },
    CSpeedCode { 576000, B576000 },
    CSpeedCode { 921600, B921600 },
    CSpeedCode { 1000000, B1000000 },
    CSpeedCode { 1152000, B1152000 },
    CSpeedCode { 1500000, B1500000 },
    CSpeedCode { 2000000, B2000000 },
    CSpeedCode { 2500000, B2500000 },
    CSpeedCode { 3000000, B3000000 },
    CSpeedCode { 3500000, B3500000 },
    CSpeedCode { 4000000, B4000000 },
};

std::string quoted(std::string_view word)
{
    // Words come from the command line or a link target; a control character in one is
    // shown escaped so the message stays one plain line.
    std::string text = "'";
    for (char c : word) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            static constexpr char digits[] = "0123456789ABCDEF";
            text += "\\x";
            text += digits[byte >> 4];
            text += digits[byte & 0xF];
        } else {
            text += c;
        }
    }
    return text + "'";
}

std::optional<std::uint32_t> parseSpeed(std::string_view word)
{
    std::uint32_t speed = 0;
    const char* end = word.data() + word.size();
    auto [stop, error] = std::from_chars(word.data(), end, speed);
    if (word.empty() || word[0] == '0' || error != std::errc() || stop != end
        || speed > highestSpeed)
        return std::nullopt;
    return speed;
}

std::optional<CFraming> parseFraming(std::string_view word)
{
    if (word.size() != 3 || word[0] < '5' || word[0] > '8' || (word[2] != '1' && word[2] != '2'))
        return std::nullopt;
    // The parity letters in EParity's order, in either case.
    const std::size_t parity = std::string_view("NEOneo").find(word[1]);
    if (parity == std::string_view::npos)
        return std::nullopt;
    return CFraming { word[0] - '0', EParity(parity % 3), word[2] - '0' };
}

std::optional<EFlow> parseFlow(std::string_view word)
{
    if (word == "none")
        return EFlow::none;
    if (word == "rtscts")
        return EFlow::rtscts;
    return std::nullopt;
}

const char* flowWord(EFlow flow)
{
    return flow == EFlow::rtscts ? "rtscts" : "none";
}

} // namespace

CParsedLine parseLineSettings(std::span<const std::string_view> words)
{
    CParsedLine parsed;
    // A part that is wrong leaves no part set: nothing is ever applied half.
    auto refuse = [&](std::string error) {
        parsed.settings = {};
        parsed.error = std::move(error);
        return parsed;
    };
    if (words.size() > 3)
        return refuse("too many line settings from " + quoted(words[3])
            + " on: give at most a speed, a framing and a flow control.");
    if (words.size() > 0 && !(parsed.settings.speed = parseSpeed(words[0])))
        return refuse(quoted(words[0])
            + " is not a speed: give a whole number of baud from 1 to 100000000, such as "
              "9600 or 115200.");
    if (words.size() > 1 && !(parsed.settings.framing = parseFraming(words[1])))
        return refuse(quoted(words[1])
            + " is not a framing: give data bits 5 to 8, parity N, E or O and stop bits 1 "
              "or 2, such as 8N1 or 7E1.");
    if (words.size() > 2 && !(parsed.settings.flow = parseFlow(words[2])))
        return refuse(quoted(words[2]) + " is not a flow control: give none or rtscts.");
    return parsed;
}

CParsedLine parseLineSettings(std::string_view text)
{
    std::vector<std::string_view> words;
    for (;;) {
        std::size_t blank = text.find(' ');
        words.push_back(text.substr(0, blank));
        if (blank == std::string_view::npos)
            break;
        text.remove_prefix(blank + 1);
    }
    // Every word, the empty ones between doubled blanks included, must be good: a text
    // written by formatLineSettings() has none.
    if (std::ranges::find(words, std::string_view()) != words.end())
        return { {},
            "the line settings have an empty word: give them separated by single blanks." };
    return parseLineSettings(std::span<const std::string_view>(words));
}

std::string formatFraming(const CFraming& framing)
{
    std::string text;
    text += char('0' + framing.dataBits);
    text += framing.parity == EParity::even ? 'E' : framing.parity == EParity::odd ? 'O' : 'N';
    text += char('0' + framing.stopBits);
    return text;
}

std::string formatLineSettings(const CLineSettings& settings, char separator)
{
    std::string text;
    if (settings.speed)
        text += std::to_string(*settings.speed);
    if (settings.framing)
        text += separator + formatFraming(*settings.framing);
    if (settings.flow)
        text += separator + std::string(flowWord(*settings.flow));
    return text;
}

std::optional<unsigned> standardSpeedCode(std::uint32_t speed)
{
    auto known = std::ranges::find(standardSpeeds, speed, &CSpeedCode::speed);
    return known == standardSpeeds.end() ? std::nullopt : std::optional(known->code);
}

std::optional<std::uint32_t> speedOfCode(unsigned code)
{
    auto known = std::ranges::find(standardSpeeds, code, &CSpeedCode::code);
    return known == standardSpeeds.end() ? std::nullopt : std::optional(known->speed);
}

CDeviceEntry parseDeviceEntry(std::string_view linkTarget)
{
    CDeviceEntry entry;
    std::size_t start = 0;
    while ((start = linkTarget.find(' ', start)) != std::string_view::npos) {
        if (start + 1 < linkTarget.size() && linkTarget[start + 1] >= '0'
            && linkTarget[start + 1] <= '9')
            break;
        ++start;
    }
    if (start == std::string_view::npos) {
        entry.path = linkTarget;
        return entry;
    }
    entry.path = linkTarget.substr(0, start);
    if (entry.path.empty()) {
        entry.error = "no device path comes before the line settings.";
        return entry;
    }
    CParsedLine parsed = parseLineSettings(linkTarget.substr(start + 1));
    if (parsed.ok())
        entry.settings = parsed.settings;
    else
        entry.error = std::move(parsed.error);
    return entry;
}

std::string formatDeviceEntry(std::string_view path, const CLineSettings& settings)
{
    std::string target(path);
    if (!settings.empty())
        target += " " + formatLineSettings(settings);
    return target;
}

bool isStorablePath(std::string_view path)
{
    CDeviceEntry entry = parseDeviceEntry(path);
    return entry.path == path;
}

std::optional<std::string> lineDifference(const CLineSettings& asked, const CLineState& kept)
{
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (asked.speed && (kept.outputSpeed != *asked.speed || kept.inputSpeed != *asked.speed)) {
        std::string keptSpeed = std::to_string(kept.outputSpeed);
        if (kept.inputSpeed != kept.outputSpeed)
            keptSpeed += " out, " + std::to_string(kept.inputSpeed) + " in";
        add("speed " + std::to_string(*asked.speed) + " asked, " + keptSpeed + " kept");
    }
    if (asked.framing && kept.framing != *asked.framing)
        add("framing " + formatFraming(*asked.framing) + " asked, " + formatFraming(kept.framing)
            + " kept");
    if (asked.flow && (*asked.flow == EFlow::rtscts) != kept.rtscts)
        add(std::string("flow control ") + flowWord(*asked.flow) + " asked, "
            + (kept.rtscts ? "rtscts" : "none") + " kept");
    return text.empty() ? std::nullopt : std::optional(text);
}
