// serialpads-ports: lists the ports of sendpad and recvpad and sets them up.
#include "PortsCommand.h"

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// A line typed on the terminal; nothing when the user pressed Ctrl+C or input ended.
std::optional<std::string> askOnTerminal(const std::string& prompt, int stopFd)
{
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    std::string line;
    for (;;) {
        pollfd waits[2] = { { STDIN_FILENO, POLLIN, 0 }, { stopFd, POLLIN, 0 } };
        if (::poll(waits, stopFd >= 0 ? 2 : 1, -1) < 0)
            continue;
        if (waits[1].revents & POLLIN) {
            std::fputs("\n", stdout);
            return std::nullopt;
        }
        char c = 0;
        if (::read(STDIN_FILENO, &c, 1) != 1)
            return std::nullopt;
        if (c == '\n')
            return line;
        line += c;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    CCommandSources sources;
    int stopFd = -1;
    if (!arguments.empty() && (arguments[0] == "scan" || arguments[0] == "pair")) {
        // Ctrl+C ends a scan or a pairing through its own wait, so the discovery and the
        // agent it started are always undone.
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGHUP);
        if (sigprocmask(SIG_BLOCK, &stop, nullptr) == 0)
            stopFd = signalfd(-1, &stop, SFD_CLOEXEC);
        sources.stopFd = stopFd;
        sources.terminal = isatty(STDOUT_FILENO);
        sources.print = [](const std::string& text) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        };
        if (isatty(STDIN_FILENO))
            sources.ask
                = [stopFd](const std::string& prompt) { return askOnTerminal(prompt, stopFd); };
    }
    CCommandResult result = runPortsCommand(arguments, sources);
    std::fwrite(result.out.data(), 1, result.out.size(), stdout);
    std::fwrite(result.err.data(), 1, result.err.size(), stderr);
    return std::fflush(stdout) == 0 ? result.status : exitRefused;
}
