// A receiver's dialog as the program runs it, connected to its own far end: the real
// window on the current Qt platform, the real port code, the real timer handler.
//
// Several rigs can live at once (each with its own device), so benchmarks can keep
// fields of different sizes side by side. The rig never ends the dialog itself except
// in its destructor.
#pragma once

#include "FarEnd.h"
#include "LineSource.h"

#include "ReceiveDialog.h"

#include <chrono>
#include <cstddef>

class CLogView;

class CReceiverRig {
public:
    // Creates the window and presses Connect; check isConnected() afterwards.
    CReceiverRig();
    ~CReceiverRig();
    CReceiverRig(const CReceiverRig&) = delete;
    CReceiverRig& operator=(const CReceiverRig&) = delete;

    bool isConnected() const;
    CFarEnd& farEnd() { return device; }
    CLineSource& lines() { return source; }

    // One timer message, handled as the window's own timer would have it handled.
    void tick();
    // The number of units the field holds.
    std::size_t fieldLength() const;
    const CLogView* field() const;

    // Has the far end send `bytes` bytes of lines and takes them in through ticks, 128
    // bytes at most per tick, until the field holds all of them. Paint events are
    // handled now and then, as the event loop would between ticks. False if the field
    // did not reach the expected length within `limit`.
    bool receive(std::size_t bytes, std::chrono::seconds limit = std::chrono::seconds(600));

    // Stops the dialog's own timer, leaving the port open, so that only tick() reads
    // the port and the event loop can run without a tick of its own.
    void holdTimer();

    // Presses Connect or Disconnect, as the user does.
    void connect();
    void disconnect();

private:
    void runQueued();
    void click(std::uint16_t id);

    CFarEnd device;
    CLineSource source;
    CReceiveDialog dialog;
};
