// Open ports by handle, as openDevice() gives them out. Operations take a shared
// reference for their duration, so a port closed meanwhile is released only when the
// last of them finishes. Ports still open when the program ends are closed by an exit
// handler, the same way closeDevice() closes them.
#pragma once

#include "Platform.h"
#include "SerialPort.h"

#include <map>
#include <memory>
#include <mutex>

class CPortRegistry {
public:
    static CPortRegistry& instance();

    Handle add(std::shared_ptr<CSerialPort> port);
    std::shared_ptr<CSerialPort> find(Handle handle);
    std::shared_ptr<CSerialPort> remove(Handle handle);
    // The ports are released outside the lock: releasing one restores its settings,
    // which is a system call.
    std::map<Handle, std::shared_ptr<CSerialPort>> removeAll();

private:
    std::mutex mutex;
    std::map<Handle, std::shared_ptr<CSerialPort>> ports;
    Handle nextHandle = 1;
};

// Closes every port still open; runs when the program ends. Handles given out before
// become invalid.
void closeAllPorts();
