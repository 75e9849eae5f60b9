// The codecs behind byteToWide() and wideToBytes(), one for each code page offered,
// kept for the whole process. With them lives the only decoding state the process
// carries from one call to the next: a character whose bytes have not all arrived yet.
// The programs have one thread, so one codec per code page is enough; the serial port
// is the one place that state is reset, at each boundary of its byte stream.
#pragma once

#include "TextCodec.h"

#include <cstdint>

// The codec for `codePage`, null for a code page not offered: 0 (the default, the
// locale's encoding) or 65001 (UTF-8). The default code page's codec follows the locale: it is
// rebuilt when the locale's encoding changes.
CTextCodec* codecFor(std::uint32_t codePage);

// Ends the stream of every codec here, as CTextCodec::endStream() does: bytes from one
// connection never complete a character begun by another, and a character left
// unfinished shows as U+FFFD at the next conversion instead of vanishing. Only the serial
// port calls it (SerialPort.cpp): when it is opened or closed and when its device goes
// away.
void endDecodingStreams();
