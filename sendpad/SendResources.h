// Control ids of the sender's dialog.
#pragma once

#include <cstdint>

inline constexpr std::uint16_t IDC_SEND_TEXT = 1000;
inline constexpr std::uint16_t IDC_SEND_CONNECT = 1001;
inline constexpr std::uint16_t IDC_SEND_SEND = 1002;
inline constexpr std::uint16_t IDC_SEND_DISCONNECT = 1003;
inline constexpr std::uint16_t IDC_SEND_PORT_LIST = 1004;
inline constexpr std::uint16_t IDC_SEND_CLEAR = 1005;
inline constexpr std::uint16_t IDC_SEND_HELLO = 1006;
