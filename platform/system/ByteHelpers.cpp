// The byte helpers of Platform.h, which accept a null pointer where the C library would not.
#include "Platform.h"

#include <cstring>

void zeroBytes(void* buffer, std::size_t size)
{
    if (buffer && size > 0)
        std::memset(buffer, 0, size);
}

std::size_t byteLength(const char* text)
{
    return text ? std::strlen(text) : 0;
}
