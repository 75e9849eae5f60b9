// The command line of serialpads-ports, run as a function: it takes the arguments and
// gives back the exit status and what to print, so everything but writing the text out
// can be tested in-process.
//
// Exit status: 0 done; 1 the system refused, or what was named is not there or is no
// serial device; 2 bad usage or input.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
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
    bool askBluez = true; // BlueZ, and a Bluetooth device's own service records
    std::filesystem::path lastScan; // where the last scan's devices are kept; empty: the default
    // Writes a line out at once, for what a scan finds while it runs; null: into `out`.
    std::function<void(const std::string&)> print;
    bool terminal = false; // standard output is a terminal: a scan counts down in place
    // Asks the user and gives the answer; null when there is no terminal to ask on.
    std::function<std::optional<std::string>(const std::string& prompt)> ask;
    int stopFd = -1; // readable when the user pressed Ctrl+C
    // A classic inquiry lasts 10.24 s, and BlueZ asks the names of devices that send
    // none with their answer only after it: a scan a little longer shows them.
    int scanSeconds = 12;
};

// The command's own name, as every message starts with it.
inline constexpr const char* commandName = "serialpads-ports";

// A failure with `status`, its message on standard error after the command's name; bad
// usage also points at --help.
CCommandResult commandFailed(int status, const std::string& message);

CCommandResult runPortsCommand(
    const std::vector<std::string>& arguments, const CCommandSources& sources = {});
