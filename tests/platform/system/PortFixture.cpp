#include "PortFixture.h"

#include "PortRegistry.h"
#include "Waiting.h"

#include <fcntl.h>
#include <sys/ioctl.h>

using Clock = std::chrono::steady_clock;

Handle openPort(const char16_t* name, std::uint32_t access)
{
    return openDevice(name, access, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
}

void cook(termios& settings)
{
    settings.c_iflag |= ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | PARMRK;
    settings.c_oflag |= OPOST | ONLCR | OCRNL;
    settings.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
}

void SerialPortTest::SetUp()
{
    ports.link(1, farEnd.devicePath());
    view = open(farEnd.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(view, 0);
}

void SerialPortTest::TearDown()
{
    closeAllPorts();
    close(view);
}

void SerialPortTest::cookDevice()
{
    termios settings {};
    ASSERT_EQ(tcgetattr(view, &settings), 0);
    cook(settings);
    ASSERT_EQ(tcsetattr(view, TCSANOW, &settings), 0);
}

void SerialPortTest::waitForInput(int count)
{
    ASSERT_TRUE(waitUntil([&] {
        int waiting = 0;
        return ioctl(view, FIONREAD, &waiting) == 0 && waiting >= count;
    }));
}

std::string SerialPortTest::readAll(Handle port, std::size_t count, std::chrono::milliseconds limit)
{
    std::string got;
    auto deadline = Clock::now() + limit;
    while (got.size() < count && Clock::now() < deadline) {
        char buffer[128];
        std::uint32_t n = 0;
        readDevice(port, buffer, sizeof buffer, &n, nullptr);
        got.append(buffer, n);
    }
    return got;
}

namespace {
CFarEndScript* running = nullptr;
}

CFarEndScript::CFarEndScript(
    CTestPort& farEnd, std::vector<Step> steps, std::chrono::milliseconds limit)
    : far(farEnd)
    , script(std::move(steps))
    , watchdog(Clock::now() + limit)
{
    running = this;
    setDescriptorWaiter(&CFarEndScript::wait);
}

CFarEndScript::~CFarEndScript()
{
    setDescriptorWaiter(nullptr);
    running = nullptr;
}

CFarEndScript::Step CFarEndScript::sends(std::string bytes)
{
    return [bytes](CTestPort& farEnd, int) { farEnd.send(bytes); };
}

CFarEndScript::Step CFarEndScript::hangsUp()
{
    return [](CTestPort& farEnd, int) { farEnd.hangUp(); };
}

CFarEndScript::Step CFarEndScript::receives(std::string& into)
{
    return [&into](CTestPort& farEnd, int) { into += farEnd.drain(std::chrono::milliseconds(0)); };
}

CFarEndScript::Step CFarEndScript::sendsAfter(std::chrono::milliseconds silence, std::string bytes)
{
    return [silence, bytes](CTestPort& farEnd, int timeoutMs) {
        if (timeoutMs >= 0 && timeoutMs <= silence.count())
            return; // the port's wait runs out first, with nothing sent
        poll(nullptr, 0, int(silence.count()));
        farEnd.send(bytes);
    };
}

short CFarEndScript::wait(int fd, short events, int timeoutMs)
{
    CFarEndScript& self = *running;
    ++self.waitCount;
    if (self.next < self.script.size())
        self.script[self.next++](self.far, timeoutMs);

    auto left = std::chrono::ceil<std::chrono::milliseconds>(self.watchdog - Clock::now());
    int allowed = int(std::max<long long>(left.count(), 0));
    if (allowed == 0 && !self.fired) {
        self.fired = true;
        self.far.hangUp();
    }
    int timeout = timeoutMs < 0 ? allowed : std::min(timeoutMs, allowed);
    short result = pollDescriptor(fd, events, timeout);
    if (result == 0 && timeout != 0)
        ++self.ranOut;
    return result;
}
