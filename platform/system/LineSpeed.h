// A terminal's speed as a number of baud, through Linux's termios2 interface, which
// takes any whole number (BOTHER) where the ordinary interface knows only the standard
// constants. The kernel's termios2 header defines its own `struct termios`, so it is
// included only by LineSpeed.cpp; this header uses neither.
#pragma once

#include <cstdint>

// Sets input and output speed of the terminal `fd` to `baud`, leaving every other
// setting as it is. 0 when done, else the errno.
int setTerminalSpeed(int fd, std::uint32_t baud);

// The input and output speed the terminal `fd` keeps, as the kernel records them after
// the driver has had its say. 0 when read, else the errno.
int readTerminalSpeed(int fd, std::uint32_t& input, std::uint32_t& output);
