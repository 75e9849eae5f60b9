#include "LineSource.h"

#include <algorithm>

std::uint32_t CLineSource::random()
{
    // xorshift32: cheap, and fixed by its seed.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

void CLineSource::startLine()
{
    std::size_t length = 60 + random() % 41;
    line.clear();
    for (std::size_t i = 0; i < length; ++i)
        line += char(' ' + random() % 95);
    line += "\r\n";
    used = 0;
}

std::string CLineSource::next(std::size_t count)
{
    std::string out;
    out.reserve(count);
    while (out.size() < count) {
        if (used == line.size())
            startLine();
        std::size_t take = std::min(count - out.size(), line.size() - used);
        out.append(line, used, take);
        used += take;
    }
    return out;
}

std::size_t CLineSource::unitsFor(const std::string& bytes)
{
    return bytes.size() + std::size_t(std::count(bytes.begin(), bytes.end(), '\r'));
}
