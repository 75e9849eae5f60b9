#include "BluetoothCase.h"

#include "PortDirectory.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
} // namespace

Clock::time_point dropLink(CRemoteDevice& remote, const LinkDrop& drop)
{
    auto dropped = Clock::now();
    switch (drop.kind) {
    case LinkDropKind::remoteHangsUp:
        remote.hangUp();
        EXPECT_TRUE(remote.waitFor("closed"));
        break;
    case LinkDropKind::remoteKilled:
        remote.kill();
        break;
    case LinkDropKind::remotePoweredOff:
        remote.powerOff();
        break;
    }
    return dropped;
}

Clock::time_point bringBack(CRemoteDevice& remote, const LinkDrop& drop, Clock::time_point dropped)
{
    switch (drop.kind) {
    case LinkDropKind::remoteHangsUp:
        return dropped;
    case LinkDropKind::remoteKilled:
        remote.start();
        break;
    case LinkDropKind::remotePoweredOff:
        remote.powerOn();
        break;
    }
    return Clock::now();
}

void expectIdleWhileAway(const std::string& measuredAs)
{
    auto startedCpu = processorTime();
    auto started = Clock::now();
    // The event loop itself, as the program runs it: the receiver's timer ticks, the
    // sender waits for clicks.
    QEventLoop loop;
    QTimer::singleShot(1500ms, &loop, &QEventLoop::quit);
    loop.exec();
    double share = std::chrono::duration<double>(processorTime() - startedCpu)
        / std::chrono::duration<double>(Clock::now() - started);
    std::printf("measured %s_cpu_while_away %.1f %%\n", measuredAs.c_str(), share * 100);
    std::fflush(stdout);
    EXPECT_LT(share, 0.5) << "the program keeps the processor busy while the device is away";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr)
        << "a message box while the device is away";
}

std::string rfcommState(int device)
{
    std::string command = "rfcomm show " + std::to_string(device) + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe)
        return "unknown";
    char line[512] = {};
    if (!std::fgets(line, sizeof line, pipe.get()))
        return "unknown";
    // "rfcomm0: <local> -> <remote> channel 1 connected [...]"
    std::string text = line;
    std::size_t channel = text.find(" channel ");
    if (channel == std::string::npos)
        return text;
    std::size_t state = text.find(' ', channel + 9);
    std::size_t end = text.find_first_of(" \n", state + 1);
    return text.substr(state + 1, end - state - 1);
}

void expectNoPortDirectory()
{
    EXPECT_EQ(std::getenv("SERIALPADS_PORTS"), nullptr);
    std::optional<std::filesystem::path> device = devicePathForPort(u"COM1:");
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(*device, "/dev/rfcomm0");
}
