#include "SerialPort.h"

#include "PortDirectory.h"
#include "ProcessCodecs.h"
#include "Waiting.h"

#include <algorithm>
#include <cassert>
#include <utility>

using std::chrono::milliseconds;

namespace {

// How often a link that is coming up is looked at.
constexpr milliseconds linkPollStep { 20 };

} // namespace

CSerialPort::~CSerialPort()
{
    close();
}

std::unique_ptr<CSerialPort> CSerialPort::open(
    std::u16string_view portName, int openFlags, COpenFailure& failure)
{
    // The name is read once; every reopen uses the number it gave.
    std::optional<int> portNumber = portNumberFromName(portName);
    if (!portNumber) {
        failure = {};
        failure.kind = OpenFailureKind::notAPortName;
        return nullptr;
    }
    CKeptAcrossOpens kept;
    std::unique_ptr<CPortDevice> device = openPortDevice(*portNumber, openFlags, kept, failure);
    if (!device)
        return nullptr;

    // A link being set up (a Bluetooth remote being paged) is waited for; a remote that
    // cannot be reached makes the kernel give up (about 5 s on real radios, at once when
    // nobody listens), which the wait sees at once.
    const auto deadline = Clock::now() + linkTimeout;
    for (;;) {
        LinkState link = device->link();
        if (link == LinkState::up)
            break;
        bool timedOut = Clock::now() >= deadline;
        if (link == LinkState::down || timedOut) {
            failure = device->linkFailure(timedOut);
            device->release(kept, milliseconds(0));
            return nullptr;
        }
        waitForDescriptor(device->fd(), 0,
            std::min(pollTimeout(deadline, Clock::now()), int(linkPollStep.count())));
    }
    // A new connection starts a new byte stream (ProcessCodecs.h).
    endDecodingStreams();
    std::unique_ptr<CSerialPort> port(new CSerialPort);
    port->number = *portNumber;
    port->flags = openFlags;
    port->opened = std::move(device);
    port->kept = std::move(kept);
    return port;
}

void CSerialPort::close()
{
    // The dialog framework runs no handler inside a wait, so nothing closes a port while
    // one of its calls waits; the port relies on that.
    assert(!waiting && "a port closed while one of its calls waits");
    if (state == State::closed)
        return;
    state = State::closed;
    dropDevice(closingGrace);
    kept = {};
    endDecodingStreams();
}

short CSerialPort::waitFor(int fd, short events, int timeoutMs)
{
    waiting = true;
    short ready = waitForDescriptor(fd, events, timeoutMs);
    waiting = false;
    return ready;
}

void CSerialPort::dropDevice(milliseconds grace)
{
    if (!opened)
        return;
    // Taken out first: the grace's wait may run the window's events, and nothing run
    // then may reach a device being let go of.
    std::unique_ptr<CPortDevice> leaving = std::move(opened);
    descriptorClosing(leaving->fd());
    leaving->release(kept, grace);
}

void CSerialPort::noteGone()
{
    // What was not sent is lost with the link; nothing to wait for.
    dropDevice(milliseconds(0));
    // What comes after the device returns is a new byte stream: a character the loss cut
    // must not be finished by it.
    endDecodingStreams();
    state = State::away;
    plan.lost(Clock::now());
}

void CSerialPort::tryReopen(Clock::time_point now)
{
    plan.tried(now);
    COpenFailure ignored; // nobody is told: the port is still open as far as the program knows
    std::unique_ptr<CPortDevice> reopened = openPortDevice(number, flags, kept, ignored);
    if (!reopened) {
        plan.failed(now);
        return;
    }
    opened = std::move(reopened);
    connectingSince = now;
    state = State::connecting;
}

bool CSerialPort::mend(std::optional<Clock::time_point> deadline, WhileAway whileAway)
{
    bool tried = false;
    for (;;) {
        const auto now = Clock::now();
        switch (state) {
        case State::live:
            return true;
        case State::closed:
            return false;
        case State::connecting: {
            LinkState link = opened->link();
            if (link == LinkState::up) {
                state = State::live;
                plan.succeeded();
                return true;
            }
            if (link == LinkState::down || now >= connectingSince + linkTimeout) {
                dropDevice(milliseconds(0));
                state = State::away;
                plan.failed(now);
                continue;
            }
            if (deadline && now >= *deadline)
                return false;
            int step = int(linkPollStep.count());
            waitFor(opened->fd(), 0, deadline ? std::min(pollTimeout(deadline, now), step) : step);
            continue;
        }
        case State::away: {
            bool due = whileAway == WhileAway::tryNow ? !tried && plan.mayTryEarly(now)
                                                      : plan.isDue(now);
            if (due) {
                tried = true;
                tryReopen(now);
                continue;
            }
            if (whileAway == WhileAway::tryNow)
                return false;
            // Nothing to wait on but time; -1 makes the wait a plain sleep that still
            // goes through the installed waiter.
            if (deadline && *deadline <= plan.nextTryAt()) {
                waitFor(-1, 0, pollTimeout(deadline, now));
                return false;
            }
            waitFor(-1, 0, pollTimeout(plan.nextTryAt(), now));
            continue;
        }
        }
    }
}

bool CSerialPort::read(void* buffer, std::uint32_t count, std::uint32_t& got)
{
    got = 0;
    if (count == 0)
        return state == State::live;

    auto* out = static_cast<unsigned char*>(buffer);
    const auto start = Clock::now();
    const CReadPlan readPlan = planRead(limits, count, start);

    // While the device is away the read spends its time-out waiting for the next try,
    // so a reader calling in a loop stays idle rather than spinning.
    if (!mend(readPlan.totalDeadline, WhileAway::waitForTry))
        return false;

    Clock::time_point lastByte = start;
    for (;;) {
        std::optional<Clock::time_point> deadline = readPlan.totalDeadline;
        if (got > 0 && readPlan.byteGap)
            deadline = std::min(
                deadline.value_or(Clock::time_point::max()), lastByte + *readPlan.byteGap);

        short events = waitFor(opened->fd(), POLLIN, pollTimeout(deadline, Clock::now()));

        if (events & POLLIN) {
            SysResult n = opened->readSome(out + got, count - got);
            if (n.value > 0) {
                got += std::uint32_t(n.value);
                lastByte = Clock::now();
                if (got == count || readPlan.returnWhenAny)
                    return true;
                continue;
            }
            // Readable yet nothing to read is how a terminal that has been hung up, or a
            // socket whose remote has closed, reports end of stream.
            if (n.value == 0 || opened->isGoneError(n.error)) {
                noteGone();
                break;
            }
            // Any other failure (a port opened for writing only) would fail again at
            // once; polling on would spin until the time-out.
            if (!n.failedWith(EAGAIN))
                break;
        }
        if (hungUp(events)) {
            noteGone();
            break;
        }
        if (deadline && Clock::now() >= *deadline)
            return true;
    }
    return got > 0;
}

bool CSerialPort::write(const void* bytes, std::uint32_t count, std::uint32_t& written)
{
    written = 0;

    const auto* in = static_cast<const unsigned char*>(bytes);
    const Clock::time_point deadline = writeDeadline(limits, count, Clock::now());

    // A write is what the user does on purpose, so one to a device that is away tries
    // to open it again now rather than at the next planned try; a link that comes up is
    // waited for within the time-out, as bytes queued on a link that then fails would
    // be lost.
    if (!mend(deadline, WhileAway::tryNow))
        return false;

    while (written < count) {
        SysResult n = opened->writeSome(in + written, count - written);
        if (n.value > 0) {
            written += std::uint32_t(n.value);
            continue;
        }
        if (!n.ok() && !n.failedWith(EAGAIN)) {
            if (opened->isGoneError(n.error))
                noteGone();
            return false;
        }
        // The device's buffer is full: wait until it takes more, the time-out runs out
        // or the device goes away.
        if (Clock::now() >= deadline)
            return false;
        short events = waitFor(opened->fd(), POLLOUT, pollTimeout(deadline, Clock::now()));
        if (hungUp(events)) {
            noteGone();
            return false;
        }
    }
    return true;
}
