// The dialog's input while one of its handlers runs. A handler that waits on its port
// keeps the window live, yet the dialog must see its input as a dialog whose thread is
// blocked would: nothing runs inside the handler, and once it returns everything that
// came meanwhile runs in the order it came. This queue holds both kinds of that input:
// messages for the dialog (clicks, timer ticks, the close button) and raw input (key
// and mouse events) that the window replays to its controls.
//
// Plain C++ with no toolkit: the window feeds it and drains it, and decides nothing
// about order itself. What the queue promises:
// - entries come out in the order they went in;
// - a tick of a timer that already has one queued is merged into it;
// - a click on a push button that can no longer be clicked (disabled or hidden by a
//   handler before it) is dropped when its turn comes;
// - once the dialog has ended nothing comes out but its destruction.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

struct CDialogMessage {
    std::uint32_t message = 0;
    std::uint32_t code = 0;
    std::uint32_t id = 0;
    std::uintptr_t param = 0;
    bool operator==(const CDialogMessage&) const = default;
};

// Raw input held for later; the window's own kind knows how to replay it.
class CHeldInput {
public:
    virtual ~CHeldInput() = default;
    virtual void replay() = 0;
};

// What the queue asks of the dialog when an entry's turn comes.
class CDialogState {
public:
    virtual bool isEnded() const = 0;
    // Whether the push button with this id still takes a click; true for ids that name
    // no push button (OK and cancel from the caption bar or a signal).
    virtual bool takesClicks(std::uint32_t id) const = 0;

protected:
    ~CDialogState() = default;
};

class CDialogQueue {
public:
    using Entry = std::variant<CDialogMessage, std::unique_ptr<CHeldInput>>;

    void add(const CDialogMessage& message);
    void add(std::unique_ptr<CHeldInput> input);
    // Puts messages ahead of everything queued, in their order: what replaying one input
    // made takes that input's place.
    void addFirst(const std::vector<CDialogMessage>& messages);

    // A stopped timer's queued tick goes with it; 0 stops every timer's.
    void dropTicks(std::uintptr_t timerId);
    void clear() { entries.clear(); }

    bool empty() const { return entries.empty(); }
    // Whether raw input is queued: until it has been replayed the focus may still move.
    bool hasInput() const;

    // Removes and returns the next entry that still counts, dropping those before it
    // that do not; nothing when none is left.
    std::optional<Entry> takeNext(const CDialogState& dialog);

private:
    std::deque<Entry> entries;
};
