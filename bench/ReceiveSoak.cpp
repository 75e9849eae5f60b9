// A long run of the receiver on a real pseudo-terminal, to show that nothing is lost,
// changed or left behind. Not a test (it runs for minutes) and not a benchmark (it
// times nothing that matters); run by hand, see README.md.
//
// 1. A stream of 1,000,000 random bytes: every value 0x00 to 0xFF, well-formed UTF-8
//    characters among them (so characters are cut by reads), a few runs of CR and LF.
//    A thread of its own writes it in random chunks with random pauses; the dialog
//    takes it in through its own 25 ms timer. The field must then hold, unit for unit,
//    what an independent decoding of the whole stream gives: iconv in one pass, an
//    invalid or cut sequence giving one U+FFFD for its longest unfinished start, each
//    CR becoming CR LF.
// 2. 1,000 Connect/Disconnect cycles, a short line received in each.
// 3. 100 hang-up/return cycles: the far end goes, the receiver sees the port fail, a
//    new device appears under the same port. If text then flows without a click
//    (automatic reopen), fine; otherwise Disconnect and Connect bring it back.
// Open descriptors and resident memory are read before and after 2 and 3.
//
// Usage: recvpad_soak [stream bytes] [connect cycles] [hang-up cycles]
#include "ProcessStats.h"
#include "ReceiverRig.h"

#include "LogView.h"
#include "ReceiveApp.h"

#include <QApplication>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iconv.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::size_t openDescriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1; // the iterator's own
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Random bytes of every value, stretches of well-formed characters, and now and then a
// run of line ends. Ends with a plain letter, so no character is left unfinished.
std::string makeStream(std::size_t size, std::mt19937& random)
{
    std::string out;
    out.reserve(size + 64);
    auto pick = [&](unsigned low, unsigned high) {
        return std::uniform_int_distribution<unsigned>(low, high)(random);
    };
    while (out.size() < size) {
        unsigned kind = pick(0, 99);
        if (kind < 55) {
            for (unsigned n = pick(1, 400); n > 0; --n)
                out += char(pick(0, 255));
        } else if (kind < 97) {
            for (unsigned n = pick(1, 100); n > 0; --n) {
                char32_t c;
                switch (pick(0, 3)) {
                case 0:
                    c = pick(0x20, 0x7E);
                    break;
                case 1:
                    c = pick(0x80, 0x7FF);
                    break;
                case 2:
                    do {
                        c = pick(0x800, 0xFFFD);
                    } while (c >= 0xD800 && c <= 0xDFFF);
                    break;
                default:
                    c = pick(0x10000, 0x10FFFF);
                    break;
                }
                appendUtf8(out, c);
            }
        } else {
            static const char* const ends[] = { "\r", "\n", "\r\n" };
            for (unsigned n = pick(1, 30); n > 0; --n)
                out += ends[pick(0, 2)];
        }
    }
    out.resize(size - 1);
    out += 'Z';
    return out;
}

// The reference: the whole stream through iconv at once. Where iconv stops at an
// invalid sequence, the longest start of it that iconv calls unfinished on its own (glibc
// takes the old five- and six-byte forms as starts too, so up to eight bytes are tried)
// gives one U+FFFD and is skipped, or the one byte when there is no such start; then
// the conversion carries on. Written apart from the program's own decoder, which works
// a byte at a time.
std::u16string referenceDecoding(const std::string& bytes)
{
    iconv_t whole = iconv_open("UTF-16LE", "UTF-8");
    iconv_t probe = iconv_open("UTF-16LE", "UTF-8");
    if (whole == iconv_t(-1) || probe == iconv_t(-1))
        std::abort();
    std::string output(bytes.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    auto putReplacement = [&] {
        *out++ = char(0xFD);
        *out++ = char(0xFF);
        outLeft -= 2;
    };
    while (inLeft > 0) {
        if (iconv(whole, &in, &inLeft, &out, &outLeft) != std::size_t(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL)
            std::abort();
        std::size_t unfinished = 0;
        for (std::size_t length = 1; length <= 8 && length <= inLeft; ++length) {
            char scratch[16];
            char* probeIn = in;
            std::size_t probeLeft = length;
            char* probeOut = scratch;
            std::size_t probeRoom = sizeof scratch;
            iconv(probe, nullptr, nullptr, nullptr, nullptr);
            if (iconv(probe, &probeIn, &probeLeft, &probeOut, &probeRoom) == std::size_t(-1)
                && errno == EINVAL)
                unfinished = length;
        }
        std::size_t skip = std::max<std::size_t>(unfinished, 1);
        putReplacement();
        in += skip;
        inLeft -= skip;
    }
    iconv_close(whole);
    iconv_close(probe);

    std::u16string text;
    for (char* at = output.data(); at < out; at += 2) {
        char16_t unit = char16_t(std::uint8_t(at[0]) | std::uint8_t(at[1]) << 8);
        text += unit;
        if (unit == u'\r')
            text += u'\n';
    }
    return text;
}

void runEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double megabytes(std::size_t bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

struct Snapshot {
    std::size_t descriptors;
    std::size_t resident;
};

Snapshot snapshot()
{
    QCoreApplication::processEvents();
    return { openDescriptors(), currentMemoryUse().resident };
}

void report(const char* what, const Snapshot& before, const Snapshot& after)
{
    std::printf("%s: open descriptors %zu -> %zu; VmRSS %.2f -> %.2f MiB (%+ld KiB)\n", what,
        before.descriptors, after.descriptors, megabytes(before.resident),
        megabytes(after.resident), (long(after.resident) - long(before.resident)) / 1024);
}

bool receivedLine(CReceiverRig& rig, std::string_view line, std::chrono::milliseconds limit)
{
    std::size_t expected = rig.fieldLength() + line.size() + 1; // CR becomes CR LF
    if (!rig.farEnd().send(line))
        return false;
    runEventsUntil([&] { return rig.fieldLength() >= expected; }, limit);
    return rig.fieldLength() == expected;
}

} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "C.UTF-8");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CReceiveApp receiver;
    const std::size_t streamBytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1'000'000;
    const int connectCycles = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int hangUpCycles = argc > 3 ? std::atoi(argv[3]) : 100;
    bool ok = true;

    std::mt19937 random(20261208);
    CReceiverRig rig;
    if (!rig.isConnected()) {
        std::printf("could not connect to the far end\n");
        return 1;
    }

    // 1. The stream.
    const std::string stream = makeStream(streamBytes, random);
    const std::u16string expected = referenceDecoding(stream);
    std::atomic<bool> written = false;
    const auto streamStart = Clock::now();
    std::thread writer([&] {
        std::mt19937 pacing(7);
        std::size_t at = 0;
        while (at < stream.size()) {
            std::size_t chunk = std::uniform_int_distribution<std::size_t>(1, 700)(pacing);
            chunk = std::min(chunk, stream.size() - at);
            if (!rig.farEnd().send(std::string_view(stream).substr(at, chunk)))
                break;
            at += chunk;
            unsigned pause = std::uniform_int_distribution<unsigned>(0, 99)(pacing);
            if (pause >= 90)
                std::this_thread::sleep_for(std::chrono::milliseconds(pause - 89) * 4);
        }
        written = true;
    });
    std::size_t lastLength = 0;
    auto lastGrowth = Clock::now();
    while (!(written && rig.fieldLength() >= expected.size())) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (rig.fieldLength() != lastLength) {
            lastLength = rig.fieldLength();
            lastGrowth = Clock::now();
        } else if (Clock::now() - lastGrowth > 10s) {
            break;
        }
    }
    writer.join();
    const double streamSeconds = std::chrono::duration<double>(Clock::now() - streamStart).count();
    const std::u16string field = rig.field()->text().toU16String();
    std::size_t firstDifference = 0;
    while (firstDifference < field.size() && firstDifference < expected.size()
        && field[firstDifference] == expected[firstDifference])
        ++firstDifference;
    std::size_t replacements = std::count(expected.begin(), expected.end(), u'\uFFFD');
    bool same = field == expected;
    ok = ok && same;
    std::printf(
        "stream: %zu bytes in %.1f s; field %zu units, reference %zu units (%zu U+FFFD); %s",
        stream.size(), streamSeconds, field.size(), expected.size(), replacements,
        same ? "identical\n" : "DIFFERENT");
    if (!same)
        std::printf(" from unit %zu\n", firstDifference);

    // 2. Connect and Disconnect.
    for (int warmUp = 0; warmUp < 10; ++warmUp) {
        rig.disconnect();
        rig.connect();
    }
    Snapshot before = snapshot();
    int lost = 0;
    const auto cyclesStart = Clock::now();
    for (int cycle = 0; cycle < connectCycles; ++cycle) {
        rig.disconnect();
        rig.connect();
        if (!rig.isConnected() || !receivedLine(rig, "cycle\r", 2000ms))
            ++lost;
    }
    Snapshot after = snapshot();
    std::printf("connect cycles: %d in %.1f s, %d without their line\n", connectCycles,
        std::chrono::duration<double>(Clock::now() - cyclesStart).count(), lost);
    report("connect cycles", before, after);
    ok = ok && lost == 0 && after.descriptors == before.descriptors;

    // 3. Hang-ups. The first cycle finds out whether the port comes back by itself.
    int reopenedByItself = 0, reconnected = 0;
    lost = 0;
    auto hangUpAndReturn = [&] {
        rig.farEnd().hangUp();
        // A few ticks meet the hung-up port.
        runEventsUntil([] { return false; }, 100ms);
        if (!rig.farEnd().returnAsNewDevice())
            return false;
        if (receivedLine(rig, "back\r", 1500ms)) {
            ++reopenedByItself;
            return true;
        }
        // The line sent before Connect was kept by the new device; it is dropped so
        // that only a line sent once connected counts.
        rig.disconnect();
        rig.farEnd().discardWaiting();
        rig.connect();
        ++reconnected;
        return rig.isConnected() && receivedLine(rig, "again\r", 2000ms);
    };
    hangUpAndReturn();
    hangUpAndReturn();
    before = snapshot();
    reopenedByItself = reconnected = 0;
    const auto hangUpsStart = Clock::now();
    for (int cycle = 0; cycle < hangUpCycles; ++cycle)
        if (!hangUpAndReturn())
            ++lost;
    after = snapshot();
    std::printf("hang-up cycles: %d in %.1f s; text flowed again by itself %d times, after "
                "Disconnect and Connect %d times; %d lost\n",
        hangUpCycles, std::chrono::duration<double>(Clock::now() - hangUpsStart).count(),
        reopenedByItself, reconnected, lost);
    report("hang-up cycles", before, after);
    ok = ok && lost == 0 && after.descriptors == before.descriptors;

    std::printf("%s\n", ok ? "soak passed" : "SOAK FAILED");
    return ok ? 0 : 1;
}
