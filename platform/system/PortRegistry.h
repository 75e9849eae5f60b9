// The handle table: every open port by the handle openDevice() gave it out with, the one
// place the process keeps its ports. A port is owned here alone; the calls borrow it for
// their duration, which is safe because the programs have one thread and the dialog
// framework runs no handler inside a port's wait, so no call closes a port another is
// using. Ports still open when the program ends are closed by an exit handler, the same
// way closeDevice() closes them.
#pragma once

#include "Platform.h"
#include "SerialPort.h"

#include <map>
#include <memory>

class CPortRegistry {
public:
    static CPortRegistry& instance();

    Handle add(std::unique_ptr<CSerialPort> port);
    // Null for a handle that is not open.
    CSerialPort* find(Handle handle);
    std::unique_ptr<CSerialPort> remove(Handle handle);

    // Port calls made so far (each looks up its handle once; an open counts itself): the
    // dialog framework tells by it whether a tick did anything but one read.
    std::uint64_t callsMade() const { return calls; }
    void countOpen() { ++calls; }

private:
    friend void closeAllPorts();

    std::map<Handle, std::unique_ptr<CSerialPort>> ports;
    Handle nextHandle = 1;
    std::uint64_t calls = 0;
};

// Closes every port still open; runs when the program ends. Handles given out before
// become invalid.
void closeAllPorts();
