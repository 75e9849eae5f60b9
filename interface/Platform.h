// The core system library as the programs see it: serial devices, character
// conversion, formatted text and byte helpers. Nothing here names an operating-system
// header, so the programs' code builds against this alone. The Linux implementation is
// in platform/system, one file for each group below: DeviceCalls.cpp (serial devices),
// TextConversion.cpp (character conversion), FormatText.cpp, ByteHelpers.cpp.
//
// Every operation reports failure through its result (a handle, a count, a bool);
// none throws.
#pragma once

#include <cstddef>
#include <cstdint>

using Handle = std::intptr_t;

// Stands for "no open port"; all bits set.
inline constexpr Handle invalidHandle = -1;

inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;

// Read and write time-outs of an open port, in milliseconds, with the usual meaning:
// - ReadIntervalTimeout: the longest gap allowed between two bytes once the first has
//   arrived (0: not used). MAXDWORD with both totals 0: return at once with what is
//   there.
// - A read may take at most ReadTotalTimeoutMultiplier * bytes asked for +
//   ReadTotalTimeoutConstant (both 0: not used).
// - ReadIntervalTimeout and ReadTotalTimeoutMultiplier both MAXDWORD with a constant
//   between 0 and MAXDWORD: return as soon as any byte is there; with none, wait up to
//   the constant for the first one.
// - A write may take at most WriteTotalTimeoutMultiplier * bytes +
//   WriteTotalTimeoutConstant (both 0: until every byte is written), and never more
//   than 30 s in all, so a stalled line cannot hold the program.
struct COMMTIMEOUTS {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Opens the serial device a port name designates ("COM1:" to "COM9:"). `access` is
// GENERIC_READ, GENERIC_WRITE or both; `shareMode` 0 means no one else may open the
// device while it is held. `security` and `templateFile` must be null, `creation`
// OPEN_EXISTING. Gives invalidHandle when the device cannot be opened for any reason.
Handle openDevice(const char16_t* name, std::uint32_t access, std::uint32_t shareMode,
    const void* security, std::uint32_t creation, std::uint32_t attributes, Handle templateFile);

// Puts the device's own terminal settings back and releases it. Returns false for a
// handle that is not open.
bool closeDevice(Handle handle);

// Writes `count` bytes. Returns true when all were written; `written` (if given)
// receives how many were. `overlapped` must be null.
bool writeDevice(Handle handle, const void* bytes, std::uint32_t count, std::uint32_t* written,
    const void* overlapped);

// Reads up to `count` bytes into `buffer`, returning when `count` bytes have arrived or
// the port's read time-outs have run out. `read` (if given) receives the number of
// bytes placed in the buffer: 0 when none arrived or the read failed.
bool readDevice(
    Handle handle, void* buffer, std::uint32_t count, std::uint32_t* read, const void* overlapped);

bool getTimeouts(Handle handle, COMMTIMEOUTS* timeouts);
bool setTimeouts(Handle handle, const COMMTIMEOUTS* timeouts);

// Converts UTF-16 text to the system's default code page (codePage 0). `sourceLength`
// -1 means the source ends at its NUL, which is converted too. With `destinationSize`
// 0 nothing is written and the result is the number of bytes the conversion needs.
// Otherwise the result is the number of bytes written, or 0 when they do not fit (the
// destination is then left NUL-ended at its last byte if it has room for nothing).
// A character the code page cannot represent becomes '?'.
int wideToBytes(std::uint32_t codePage, std::uint32_t flags, const char16_t* source,
    int sourceLength, char* destination, int destinationSize, const char* defaultChar,
    bool* usedDefaultChar);

// Converts bytes of the system's default code page to UTF-16, keeping the state of an
// unfinished multi-byte character between calls: a character whose bytes are passed in
// separate calls comes out whole, from the call that completes it. A byte that can
// neither start nor continue a character gives U+FFFD; nothing is dropped. Returns the
// number of units written (0 while a character is unfinished); with `destinationSize`
// 0 it only counts. `destination` needs room for 2 units per byte plus 2.
int byteToWide(std::uint32_t codePage, std::uint32_t flags, const char* source, int sourceLength,
    char16_t* destination, int destinationSize);

// Formats into `buffer` (room for `bufferSize` units, terminator included) with the
// conversions %d, %u and %%. The result is always NUL-ended and cut to fit; returns
// the number of units written before the terminator.
int formatText(char16_t* buffer, std::size_t bufferSize, const char16_t* format, ...);

void zeroBytes(void* buffer, std::size_t size);
std::size_t byteLength(const char* text);
