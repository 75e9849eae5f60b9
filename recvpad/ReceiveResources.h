// Control ids of the receiver's dialog.
#pragma once

#include <cstdint>

inline constexpr std::uint16_t IDC_RECEIVE_PORT_LIST = 1000;
inline constexpr std::uint16_t IDC_RECEIVE_CONNECT = 1001;
inline constexpr std::uint16_t IDC_RECEIVE_DISCONNECT = 1002;
inline constexpr std::uint16_t IDC_RECEIVE_TEXT = 1004;
