// The device at the far end of the receiver's port: a pseudo-terminal whose slave is
// reached as "COM1:" through a private port directory, as a serial device would be.
//
// Besides the master, which writes what the device sends, it keeps a second descriptor
// on the slave, opened before the receiver takes the port. That descriptor never reads;
// it only asks how many bytes wait in the slave's input queue, so a benchmark can tell
// that written bytes have reached the place the receiver reads from before it times
// anything.
//
// The slave starts raw, as a serial line carrying bytes rather than lines would be.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

class CFarEnd {
public:
    CFarEnd();
    ~CFarEnd();
    CFarEnd(const CFarEnd&) = delete;
    CFarEnd& operator=(const CFarEnd&) = delete;

    // False when no pseudo-terminal or port directory could be made.
    bool isValid() const { return master >= 0 && observer >= 0 && !directory.empty(); }

    // Points SERIALPADS_PORTS at this device's directory, so the next connect opens it.
    void publish() const;

    // Writes all of `bytes`, waiting while the terminal's buffers are full. False if the
    // device has hung up or the write fails.
    bool send(std::string_view bytes);
    // Writes what the terminal takes now without waiting; returns how many bytes.
    std::size_t sendSome(std::string_view bytes);

    // Bytes waiting in the slave's input queue.
    std::size_t waiting() const;
    // Waits until at least `count` bytes wait in the slave's input queue.
    bool waitForWaiting(std::size_t count, std::chrono::milliseconds timeout) const;

    // Drops the bytes waiting in the slave's input queue.
    void discardWaiting() const;

    // The slave descriptor used for looking at the queue; a benchmark with no receiver
    // may read from it itself.
    int slaveFd() const { return observer; }

    // Closes the master, as a device that hangs up or goes out of range.
    void hangUp();

    // The device comes back after a hang-up: a new pseudo-terminal (with its own
    // observer) takes the old one's place as "com1" in the same directory, as a
    // device that reappears under the same port does. False if it could not be made.
    bool returnAsNewDevice();

private:
    bool makeDevice();

    int master = -1;
    int observer = -1;
    std::filesystem::path directory;
    std::string slaveName;
};
