// The far end of the Bluetooth test VM's rfcomm ports: an RFCOMM server on the second
// emulated controller (vm/remote.py, run as its own process), which the suite makes
// hang up, dies, loses power and sends bytes, while it records what reaches it.
//
// Waits run the Qt event loop, so the dialogs under test keep ticking meanwhile.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include <termios.h>

class CRemoteDevice {
public:
    // The channel the remote listens on: the one /dev/rfcomm0 is bound to, or another
    // while a case has its service record name that one.
    static inline int channel = 1;
    // Whether it lets in only a device it is paired with (a serial module that was
    // paired with its PIN); the bound nodes reach it unpaired.
    static inline bool pairedOnly = false;
    // A channel where the remote accepts a link and never reads from it.
    static constexpr int muteChannel = 3;
    // A channel where nobody listens.
    static constexpr int silentChannel = 2;

    // Starts the remote listening; the test fails if it does not come up.
    CRemoteDevice();
    ~CRemoteDevice();
    CRemoteDevice(const CRemoteDevice&) = delete;
    CRemoteDevice& operator=(const CRemoteDevice&) = delete;

    void start();
    // Ends the remote process with SIGKILL: its links go without a goodbye.
    void kill();
    // Closes the link from the remote's side, and goes on listening.
    void hangUp();
    // Switches the remote's controller off or on (a device switched off or out of range).
    void powerOff();
    void powerOn();

    // Sends bytes over the current link.
    void send(std::string_view bytes);

    // Waits until the remote reports `event` ("connected", "closed", "refused") on the
    // channel after the events already taken; takes it and those before it.
    bool waitFor(std::string_view event,
        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Whether `event` is among the events not yet taken (looks without waiting).
    bool hasPending(std::string_view event);

    // Everything the remote has received so far, and waiting until it holds `bytes`.
    const std::string& received();
    bool waitForReceived(std::string_view bytes,
        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void forgetReceived() { bytes.clear(); }

    bool running() const { return pid > 0; }

private:
    void pump();
    void command(std::string_view line);
    void stop();

    pid_t pid = -1;
    int toRemote = -1;
    int fromRemote = -1;
    std::string partialLine;
    std::vector<std::string> events;
    std::string bytes;
};

// The terminal settings of /dev/rfcomm0 as another program sees them: opened without
// waiting (the link comes up by itself), read once the remote reports the link, closed.
// `change`, when given, is applied before reading.
struct termios settingsOfPort(CRemoteDevice& remote, void (*change)(struct termios&) = nullptr);

// Whether two snapshots of terminal settings are the same in every field a program can
// set.
bool sameSettings(const struct termios& a, const struct termios& b);

// Runs vm/controller.sh with `arguments`: switches a controller ("0 off") or the remote's
// service record ("sdp on").
void runController(const std::string& arguments);

// Prints a measured time as "measured <name> <ms> ms" (the run collects these lines)
// and records it with the test's results.
void reportMeasured(const std::string& name, std::chrono::steady_clock::duration elapsed);

// This process's processor time (user and system) so far.
std::chrono::microseconds processorTime();
