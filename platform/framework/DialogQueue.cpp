#include "DialogQueue.h"

#include "MessageMap.h"

#include <algorithm>

namespace {
const CDialogMessage* messageIn(const CDialogQueue::Entry& entry)
{
    return std::get_if<CDialogMessage>(&entry);
}

bool isTick(const CDialogQueue::Entry& entry, std::uintptr_t timerId)
{
    const CDialogMessage* message = messageIn(entry);
    return message && message->message == WM_TIMER && (timerId == 0 || message->param == timerId);
}

bool stillCounts(const CDialogQueue::Entry& entry, const CDialogState& dialog)
{
    const CDialogMessage* message = messageIn(entry);
    if (dialog.isEnded())
        return message && message->message == WM_DESTROY;
    if (message && message->message == WM_COMMAND && message->code == BN_CLICKED)
        return dialog.takesClicks(message->id);
    return true;
}
} // namespace

void CDialogQueue::add(const CDialogMessage& message)
{
    if (message.message == WM_TIMER
        && std::any_of(entries.begin(), entries.end(),
            [&](const Entry& held) { return isTick(held, message.param); }))
        return;
    entries.emplace_back(message);
}

void CDialogQueue::add(std::unique_ptr<CHeldInput> input)
{
    entries.emplace_back(std::move(input));
}

void CDialogQueue::addFirst(const std::vector<CDialogMessage>& messages)
{
    entries.insert(entries.begin(), messages.begin(), messages.end());
}

void CDialogQueue::dropTicks(std::uintptr_t timerId)
{
    std::erase_if(entries, [timerId](const Entry& held) { return isTick(held, timerId); });
}

bool CDialogQueue::hasInput() const
{
    return std::any_of(
        entries.begin(), entries.end(), [](const Entry& held) { return !messageIn(held); });
}

std::optional<CDialogQueue::Entry> CDialogQueue::takeNext(const CDialogState& dialog)
{
    while (!entries.empty()) {
        Entry next = std::move(entries.front());
        entries.pop_front();
        if (stillCounts(next, dialog))
            return next;
    }
    return std::nullopt;
}
