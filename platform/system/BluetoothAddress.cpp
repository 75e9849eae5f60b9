#include "BluetoothAddress.h"

#include <charconv>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<CBluetoothAddress> parseBluetoothAddress(std::string_view text)
{
    // "XX:XX:XX:XX:XX:XX": 6 pairs and 5 colons.
    if (text.size() != 17)
        return std::nullopt;
    CBluetoothAddress address;
    for (std::size_t i = 0; i < 6; ++i) {
        std::size_t at = i * 3;
        if (i > 0 && text[at - 1] != ':')
            return std::nullopt;
        int high = hexDigit(text[at]);
        int low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        address.bytes[i] = std::uint8_t(high * 16 + low);
    }
    return address;
}

std::string formatBluetoothAddress(const CBluetoothAddress& address)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < address.bytes.size(); ++i) {
        if (i > 0)
            text += ':';
        text += digits[address.bytes[i] >> 4];
        text += digits[address.bytes[i] & 0xF];
    }
    return text;
}

std::optional<CBluetoothTarget> parseBluetoothTarget(std::string_view text)
{
    if (!text.starts_with(bluetoothTargetPrefix))
        return std::nullopt;
    text.remove_prefix(bluetoothTargetPrefix.size());
    std::string_view channelText;
    if (std::size_t slash = text.find('/'); slash != std::string_view::npos) {
        channelText = text.substr(slash + 1);
        text = text.substr(0, slash);
        // One or two decimal digits, no sign, no leading zero.
        if (channelText.empty() || channelText.size() > 2 || channelText[0] == '0')
            return std::nullopt;
    }
    std::optional<CBluetoothAddress> address = parseBluetoothAddress(text);
    if (!address)
        return std::nullopt;
    CBluetoothTarget target { *address, 0 };
    const char* end = channelText.data() + channelText.size();
    if (!channelText.empty()
        && (std::from_chars(channelText.data(), end, target.channel).ptr != end
            || target.channel < firstRfcommChannel || target.channel > lastRfcommChannel))
        return std::nullopt;
    return target;
}

std::string formatBluetoothTarget(const CBluetoothTarget& target)
{
    std::string text(bluetoothTargetPrefix);
    text += formatBluetoothAddress(target.address);
    if (target.channel != 0) {
        text += '/';
        text += std::to_string(target.channel);
    }
    return text;
}
