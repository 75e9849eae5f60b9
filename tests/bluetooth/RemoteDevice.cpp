#include "RemoteDevice.h"

#include "TestPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
using namespace std::chrono_literals;

std::string environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        ADD_FAILURE() << name << " is not set: this program runs in the Bluetooth test VM "
                      << "(tests/bluetooth/run.sh)";
    return value ? value : "";
}

std::string toolPath(const char* tool)
{
    return environmentValue("SERIALPADS_BT_TOOLS") + "/" + tool;
}

int hexDigit(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

std::string fromHex(std::string_view hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(hexDigit(hex[i]) << 4 | hexDigit(hex[i + 1]));
    return out;
}

std::string toHex(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string onChannel(std::string_view event)
{
    return std::string(event) + " " + std::to_string(CRemoteDevice::channel);
}

} // namespace

CRemoteDevice::CRemoteDevice()
{
    start();
}

CRemoteDevice::~CRemoteDevice()
{
    stop();
}

void CRemoteDevice::start()
{
    stop();
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string script = toolPath("remote.py");
    std::string address = environmentValue("SERIALPADS_BT_REMOTE_ADDRESS");
    std::string channelText = std::to_string(channel);
    std::string muteText = std::to_string(muteChannel);
    std::vector<char*> argv
        = { const_cast<char*>("python3"), script.data(), const_cast<char*>("--address"),
              address.data(), const_cast<char*>("--mute"), muteText.data() };
    if (pairedOnly)
        argv.push_back(const_cast<char*>("--paired-only"));
    argv.push_back(channelText.data());
    argv.push_back(nullptr);
    int spawned = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toRemote = in[1];
    fromRemote = out[0];
    ASSERT_EQ(spawned, 0) << "cannot start " << script;
    fcntl(fromRemote, F_SETFL, O_NONBLOCK);
    // A remote that stopped (killed) must not take the suite down when written to.
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(waitFor("ready", 10s)) << "the remote device did not start";
}

void CRemoteDevice::stop()
{
    if (pid > 0) {
        command("quit");
        close(toRemote);
        // It ends by itself at once; a kill only if it hangs.
        bool ended = waitUntil(
            [&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::milliseconds(3000));
        if (!ended) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(fromRemote);
    }
    pid = -1;
    toRemote = fromRemote = -1;
    partialLine.clear();
    events.clear();
}

void CRemoteDevice::kill()
{
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(toRemote);
    close(fromRemote);
    pid = -1;
    toRemote = fromRemote = -1;
    partialLine.clear();
    events.clear();
}

void CRemoteDevice::hangUp()
{
    command("drop");
}

void CRemoteDevice::powerOff()
{
    runController(environmentValue("SERIALPADS_BT_REMOTE_INDEX") + " off");
}

void CRemoteDevice::powerOn()
{
    runController(environmentValue("SERIALPADS_BT_REMOTE_INDEX") + " on");
}

void runController(const std::string& arguments)
{
    std::string command = toolPath("controller.sh") + " " + arguments;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void CRemoteDevice::send(std::string_view data)
{
    command("send " + std::to_string(channel) + " " + toHex(data));
}

void CRemoteDevice::command(std::string_view line)
{
    if (toRemote < 0)
        return;
    std::string text = std::string(line) + "\n";
    ASSERT_EQ(write(toRemote, text.data(), text.size()), ssize_t(text.size()));
}

void CRemoteDevice::pump()
{
    if (fromRemote < 0)
        return;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fromRemote, chunk, sizeof chunk)) > 0) {
        partialLine.append(chunk, std::size_t(n));
        std::size_t end;
        while ((end = partialLine.find('\n')) != std::string::npos) {
            std::string line = partialLine.substr(0, end);
            partialLine.erase(0, end + 1);
            if (line.rfind("rx ", 0) == 0)
                bytes += fromHex(line.substr(line.rfind(' ') + 1));
            else
                events.push_back(line);
        }
    }
}

bool CRemoteDevice::hasPending(std::string_view event)
{
    pump();
    std::string wanted = event == "ready" ? std::string(event) : onChannel(event);
    return std::find(events.begin(), events.end(), wanted) != events.end();
}

bool CRemoteDevice::waitFor(std::string_view event, std::chrono::milliseconds timeout)
{
    std::string wanted = event == "ready" ? std::string(event) : onChannel(event);
    std::vector<std::string>::iterator found;
    bool arrived = waitUntil(
        [&] {
            pump();
            found = std::find(events.begin(), events.end(), wanted);
            return found != events.end();
        },
        timeout);
    if (arrived)
        events.erase(events.begin(), found + 1);
    return arrived;
}

const std::string& CRemoteDevice::received()
{
    pump();
    return bytes;
}

bool CRemoteDevice::waitForReceived(std::string_view expected, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return received().find(expected) != std::string::npos; }, timeout);
}

struct termios settingsOfPort(CRemoteDevice& remote, void (*change)(struct termios&))
{
    struct termios settings {};
    int fd = open("/dev/rfcomm0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << "open /dev/rfcomm0: errno " << errno;
    if (fd < 0)
        return settings;
    // Settings can be changed only while the descriptor is not hung up, so the link is
    // let come up first.
    EXPECT_TRUE(remote.waitFor("connected"));
    if (change) {
        EXPECT_EQ(tcgetattr(fd, &settings), 0) << "errno " << errno;
        change(settings);
        EXPECT_EQ(tcsetattr(fd, TCSANOW, &settings), 0) << "errno " << errno;
    }
    EXPECT_EQ(tcgetattr(fd, &settings), 0) << "errno " << errno;
    close(fd);
    EXPECT_TRUE(remote.waitFor("closed"));
    return settings;
}

bool sameSettings(const struct termios& a, const struct termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
        && a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)
        && cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

void reportMeasured(const std::string& name, std::chrono::steady_clock::duration elapsed)
{
    double ms = std::chrono::duration<double, std::milli>(elapsed).count();
    std::printf("measured %s %.1f ms\n", name.c_str(), ms);
    std::fflush(stdout);
    ::testing::Test::RecordProperty(name + "_ms", std::to_string(int(ms + 0.5)));
}

std::chrono::microseconds processorTime()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto micros = [](const timeval& t) { return std::int64_t(t.tv_sec) * 1'000'000 + t.tv_usec; };
    return std::chrono::microseconds(micros(usage.ru_utime) + micros(usage.ru_stime));
}
