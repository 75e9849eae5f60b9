#include "BluetoothCase.h"

#include "PortDirectory.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <unistd.h>

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

void setBluetoothPort(int number, const std::string& address, int channel)
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::path tool
        = fs::read_symlink("/proc/self/exe", ignored).parent_path().parent_path().parent_path()
        / "serialpads-ports" / "serialpads-ports";
    ASSERT_EQ(access(tool.c_str(), X_OK), 0) << tool << " is not built";
    std::string command = tool.string() + " set " + std::to_string(number) + " " + address
        + (channel ? " " + std::to_string(channel) : std::string());
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

Clock::duration closeAfterUnreadOutput(const char16_t* port, const std::string& measuredAs)
{
    Handle handle = openDevice(port, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, invalidHandle);
    EXPECT_NE(handle, invalidHandle);
    if (handle == invalidHandle)
        return {};
    // Writes until the device takes no more within a second, or 4 MiB went out (a bound
    // node queues that much without blocking).
    COMMTIMEOUTS quick { MAXDWORD, MAXDWORD, 100, 0, 1000 };
    setTimeouts(handle, &quick);
    std::string chunk(64 * 1024, 'x');
    std::uint64_t total = 0;
    for (int i = 0; i < 64; ++i) {
        std::uint32_t written = 0;
        bool complete
            = writeDevice(handle, chunk.data(), std::uint32_t(chunk.size()), &written, nullptr);
        total += written;
        if (!complete)
            break;
    }
    std::printf("measured %s_unsent_output_written %llu bytes\n", measuredAs.c_str(),
        static_cast<unsigned long long>(total));
    auto started = Clock::now();
    EXPECT_TRUE(closeDevice(handle));
    auto took = Clock::now() - started;
    reportMeasured(measuredAs, took);
    return took;
}

std::string refusalReason(const std::vector<QString>& messages, const CDialogDriver& driver)
{
    EXPECT_EQ(messages.size(), 1u);
    if (!messages.empty()) {
        EXPECT_EQ(messages.front(), "Error openning COM port.");
    }
    std::string detail = driver.lastMessageDetail().toStdString();
    std::printf("reason shown: %s\n", detail.c_str());
    return detail;
}
