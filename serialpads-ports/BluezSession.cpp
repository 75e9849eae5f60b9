#include "BluezSession.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

CBluezConnection connectBluez()
{
    CBluezConnection connection;
    sd_bus* opened = nullptr;
    std::optional<CBluezState> state;
    if (sd_bus_open_system(&opened) >= 0) {
        connection.bus.reset(opened);
        state = queryBluez(opened);
    }
    if (!state) {
        connection.problem = EBluezProblem::serviceAbsent;
        return connection;
    }
    connection.state = std::move(*state);
    // The bus lists objects in no set order; the first adapter is the system's default.
    auto& adapters = connection.state.adapters;
    std::ranges::sort(adapters, {}, [](const CBluezAdapter& adapter) {
        return std::pair(adapter.path.size(), std::string_view(adapter.path));
    });
    if (auto on = std::ranges::find_if(adapters, &CBluezAdapter::powered); on != adapters.end())
        connection.adapter = &*on;
    else if (adapters.empty())
        connection.problem = EBluezProblem::noAdapter;
    else {
        connection.problem = EBluezProblem::adapterOff;
        connection.adapter = &adapters.front();
    }
    return connection;
}

bool serveBus(sd_bus* bus, int stopFd, std::chrono::milliseconds timeout, bool& stopped)
{
    int processed;
    while ((processed = sd_bus_process(bus, nullptr)) > 0) { }
    if (processed < 0)
        return false;
    pollfd waits[2]
        = { { sd_bus_get_fd(bus), short(sd_bus_get_events(bus)), 0 }, { stopFd, POLLIN, 0 } };
    int ready = ::poll(waits, stopFd >= 0 ? 2 : 1, int(std::max<long>(timeout.count(), 0)));
    if (ready < 0 && errno != EINTR)
        return false;
    if (stopFd >= 0 && (waits[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        stopped = true;
        return false;
    }
    return true;
}
