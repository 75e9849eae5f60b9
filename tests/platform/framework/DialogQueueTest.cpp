// The held-message queue alone: what comes out, in which order, for messages and raw
// input held while a handler ran.
#include "DialogQueue.h"
#include "MessageMap.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {
// Steps are written as words: "tick N" and "click N" hold those messages, "key X" holds
// raw input named X, "close" holds the caption bar's OK, "destroy" WM_DESTROY,
// "stop N" drops timer N's ticks (0 for all), "first click N" puts a click ahead.
struct CQueueCase {
    const char* name;
    std::vector<std::string> steps;
    std::set<std::uint32_t> clickable; // push buttons that still take clicks
    bool ended;
    std::vector<std::string> expected;
};

std::ostream& operator<<(std::ostream& out, const CQueueCase& row)
{
    return out << row.name;
}

class CNamedInput final : public CHeldInput {
public:
    CNamedInput(std::string name, std::vector<std::string>& log)
        : label(std::move(name))
        , replayed(log)
    {
    }
    void replay() override { replayed.push_back(label); }

private:
    std::string label;
    std::vector<std::string>& replayed;
};

class CFakeDialog final : public CDialogState {
public:
    bool ended = false;
    std::set<std::uint32_t> clickable;
    std::set<std::uint32_t> buttons { 10, 11, 12 };
    bool isEnded() const override { return ended; }
    bool takesClicks(std::uint32_t id) const override
    {
        return !buttons.contains(id) || clickable.contains(id);
    }
};

std::string describe(const CDialogMessage& message)
{
    switch (message.message) {
    case WM_TIMER:
        return "tick " + std::to_string(message.param);
    case WM_DESTROY:
        return "destroy";
    default:
        return message.id == IDOK ? "close" : "click " + std::to_string(message.id);
    }
}

class HeldMessagesOrder : public ::testing::TestWithParam<CQueueCase> { };

TEST_P(HeldMessagesOrder, ComesOutAsADialogWhoseThreadWasBlockedWouldSeeIt)
{
    const CQueueCase& row = GetParam();
    CDialogQueue queue;
    std::vector<std::string> out;
    for (const std::string& step : row.steps) {
        const auto space = step.rfind(' ');
        const std::string word = step.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : step.substr(space + 1);
        const auto number = [&] { return std::uint32_t(std::stoul(arg)); };
        if (word == "tick")
            queue.add(CDialogMessage { WM_TIMER, 0, 0, number() });
        else if (word == "click")
            queue.add(CDialogMessage { WM_COMMAND, BN_CLICKED, number(), 0 });
        else if (word == "first click")
            queue.addFirst({ CDialogMessage { WM_COMMAND, BN_CLICKED, number(), 0 } });
        else if (word == "key")
            queue.add(std::make_unique<CNamedInput>("key " + arg, out));
        else if (step == "close")
            queue.add(CDialogMessage { WM_COMMAND, BN_CLICKED, IDOK, 0 });
        else if (step == "destroy")
            queue.add(CDialogMessage { WM_DESTROY, 0, 0, 0 });
        else if (word == "stop")
            queue.dropTicks(number());
        else
            FAIL() << "unknown step " << step;
    }
    CFakeDialog dialog;
    dialog.ended = row.ended;
    dialog.clickable = row.clickable;
    while (auto next = queue.takeNext(dialog)) {
        if (auto* message = std::get_if<CDialogMessage>(&*next))
            out.push_back(describe(*message));
        else
            std::get<std::unique_ptr<CHeldInput>>(*next)->replay();
    }
    EXPECT_EQ(out, row.expected);
    EXPECT_TRUE(queue.empty());
}

const CQueueCase queueCases[] = {
    { "ClicksKeysAndTicksKeepTheirOrder",
        { "key a", "click 10", "tick 1", "key b", "click 11", "key c" }, { 10, 11 }, false,
        { "key a", "click 10", "tick 1", "key b", "click 11", "key c" } },
    { "TicksOfOneTimerMergeIntoTheFirst", { "tick 1", "click 10", "tick 1", "tick 2", "tick 1" },
        { 10 }, false, { "tick 1", "click 10", "tick 2" } },
    { "AClickOnAButtonDisabledSinceIsDropped", { "click 10", "key a", "click 12" }, { 12 }, false,
        { "key a", "click 12" } },
    { "CloseAndCancelAlwaysCount", { "close", "click 2" }, {}, false, { "close", "click 2" } },
    { "AStoppedTimersTicksGo", { "tick 1", "tick 2", "stop 1", "key a" }, {}, false,
        { "tick 2", "key a" } },
    { "StoppingEveryTimerDropsEveryTick", { "tick 1", "key a", "tick 2", "stop 0" }, {}, false,
        { "key a" } },
    { "WhatReplayingMadeGoesFirst", { "key a", "first click 10" }, { 10 }, false,
        { "click 10", "key a" } },
    { "AfterTheEndOnlyDestructionComesOut",
        { "click 10", "key a", "tick 1", "close", "destroy", "click 11" }, { 10, 11 }, true,
        { "destroy" } },
};

INSTANTIATE_TEST_SUITE_P(Queue, HeldMessagesOrder, ::testing::ValuesIn(queueCases),
    [](const auto& row) { return std::string(row.param.name); });

TEST(HeldMessagesQueue, KnowsWhetherRawInputIsHeld)
{
    CDialogQueue queue;
    std::vector<std::string> out;
    queue.add(CDialogMessage { WM_TIMER, 0, 0, 1 });
    EXPECT_FALSE(queue.hasInput());
    queue.add(std::make_unique<CNamedInput>("a", out));
    EXPECT_TRUE(queue.hasInput());
}
} // namespace
