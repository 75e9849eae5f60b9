// What every action on BlueZ starts from: a connection to the system bus with the
// adapter to use, and the loop that serves the bus while an action waits.
#pragma once

#include "BluezActions.h"

#include <chrono>
#include <memory>
#include <string>

inline constexpr const char* bluezService = "org.bluez";

struct CSlotReleaser {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using CSlot = std::unique_ptr<sd_bus_slot, CSlotReleaser>;

// An error sd-bus fills in, freed whichever way the caller leaves.
struct CBusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CBusError() { sd_bus_error_free(&error); }
    std::string name() const { return error.name ? error.name : ""; }
    std::string text() const
    {
        return error.message ? error.message : error.name ? error.name : "no reason given";
    }
};

// A connection to the system bus and what BlueZ says on it, or why there is none.
struct CBluezConnection {
    CBus bus;
    CBluezState state;
    const CBluezAdapter* adapter = nullptr; // the first switched on, else the first
    EBluezProblem problem = EBluezProblem::none;
};

CBluezConnection connectBluez();

// Runs what has come in on the bus, then waits for more, for `stopFd`, or for `timeout`.
// False when `stopFd` became readable or the bus failed.
bool serveBus(sd_bus* bus, int stopFd, std::chrono::milliseconds timeout, bool& stopped);
