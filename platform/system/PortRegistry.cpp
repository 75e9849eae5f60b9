#include "PortRegistry.h"

#include <cstdlib>
#include <utility>

CPortRegistry& CPortRegistry::instance()
{
    // Never destroyed: a static object whose destructor closes a port must still find
    // the registry, whatever the order of destruction. Ports are closed by the exit
    // handler instead, which runs before any static object built earlier is destroyed.
    static CPortRegistry* registry = [] {
        auto* created = new CPortRegistry;
        std::atexit(closeAllPorts);
        return created;
    }();
    return *registry;
}

Handle CPortRegistry::add(std::unique_ptr<CSerialPort> port)
{
    // Handles count up from 1 and are never reused, so a stale handle cannot reach a
    // port opened later; they never reach invalidHandle.
    Handle handle = nextHandle++;
    ports.emplace(handle, std::move(port));
    return handle;
}

CSerialPort* CPortRegistry::find(Handle handle)
{
    ++calls;
    auto found = ports.find(handle);
    return found == ports.end() ? nullptr : found->second.get();
}

std::unique_ptr<CSerialPort> CPortRegistry::remove(Handle handle)
{
    ++calls;
    auto node = ports.extract(handle);
    return node ? std::move(node.mapped()) : nullptr;
}

void closeAllPorts()
{
    for (auto& [handle, port] : std::exchange(CPortRegistry::instance().ports, {}))
        port->close();
}
