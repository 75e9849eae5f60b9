// serialpads-ports: lists the ports of sendpad and recvpad and sets them up.
#include "PortsCommand.h"

#include <cstdio>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    CCommandResult result = runPortsCommand(arguments);
    std::fwrite(result.out.data(), 1, result.out.size(), stdout);
    std::fwrite(result.err.data(), 1, result.err.size(), stderr);
    return std::fflush(stdout) == 0 ? result.status : exitRefused;
}
