// The command line of serialpads-ports, run as a function: it takes the arguments and
// gives back the exit status and what to print, so everything but writing the text out
// can be tested in-process.
//
// Exit status: 0 done; 1 the system refused, or what was named is not there or is no
// serial device; 2 bad usage or input.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

inline constexpr int exitDone = 0;
inline constexpr int exitRefused = 1;
inline constexpr int exitUsage = 2;

struct CCommandResult {
    int status = exitDone;
    std::string out; // for standard output
    std::string err; // for standard error, each line prefixed with the command's name
};

// What the command looks at besides the port directory; tests point these elsewhere.
struct CCommandSources {
    std::filesystem::path byIdDirectory = "/dev/serial/by-id";
    bool askBluez = true;
};

CCommandResult runPortsCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources = {});
