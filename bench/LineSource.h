// Text as a device sends it: lines of 60 to 100 printable ASCII characters, each ended
// by a carriage return and line feed. The sequence is the same on every run, so runs
// on different machines or builds receive the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CLineSource {
public:
    // The next `count` bytes of the stream; lines continue across calls.
    std::string next(std::size_t count);

    // The number of units the receiver's field gains for `bytes` of this stream: every
    // byte is one unit and each carriage return adds its line feed.
    static std::size_t unitsFor(const std::string& bytes);

private:
    std::uint32_t random();
    void startLine();

    std::uint32_t state = 0x2545F491u;
    std::string line;
    std::size_t used = 0;
};
