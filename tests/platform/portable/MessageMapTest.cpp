// Message tables: dispatch finds the most derived class's entry first and falls back to
// its bases' tables, and hands timer handlers their id.
#include "MessageMap.h"

#include <gtest/gtest.h>

#include <string>

namespace {
class CBase : public CCmdTarget {
public:
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;
    std::string log;

protected:
    void onShared() { log += "base-shared;"; }
    void onBaseOnly() { log += "base-only;"; }
    void onDestroyed() { log += "base-destroy;"; }

private:
    static const AFX_MSGMAP_ENTRY entries[];
};

const AFX_MSGMAP_ENTRY CBase::entries[] = {
    MessageMapEntries<CBase>::onClicked<&CBase::onShared>(10),
    MessageMapEntries<CBase>::onClicked<&CBase::onBaseOnly>(11),
    MessageMapEntries<CBase>::onDestroy<&CBase::onDestroyed>(),
};
const AFX_MSGMAP CBase::messageMap { &CCmdTarget::messageMap, entries };

class CDerived : public CBase {
public:
    const AFX_MSGMAP* getMessageMap() const override { return &messageMap; }
    static const AFX_MSGMAP messageMap;

private:
    void onShared() { log += "derived-shared;"; }
    void onTick(std::uintptr_t id) { log += "tick" + std::to_string(id) + ";"; }
    static const AFX_MSGMAP_ENTRY entries[];
};

const AFX_MSGMAP_ENTRY CDerived::entries[] = {
    MessageMapEntries<CDerived>::onClicked<&CDerived::onShared>(10),
    // A base class's member may serve in a derived class's table.
    MessageMapEntries<CDerived>::onClicked<&CDerived::onBaseOnly>(12),
    MessageMapEntries<CDerived>::onTimer<&CDerived::onTick>(),
};
const AFX_MSGMAP CDerived::messageMap { &CBase::messageMap, entries };

TEST(MessageMap, OwnEntriesComeBeforeTheBaseTableAndTimersGetTheirId)
{
    CDerived target;
    EXPECT_TRUE(target.dispatch(WM_COMMAND, BN_CLICKED, 10));
    // Timer handlers take any id and are given it.
    EXPECT_TRUE(target.dispatch(WM_TIMER, 0, 0, 1));
    EXPECT_TRUE(target.dispatch(WM_TIMER, 0, 0, 7));
    EXPECT_EQ(target.log, "derived-shared;tick1;tick7;");
}

TEST(MessageMap, UnmatchedMessagesFallThroughToTheBaseTable)
{
    CDerived target;
    EXPECT_TRUE(target.dispatch(WM_COMMAND, BN_CLICKED, 11));
    EXPECT_TRUE(target.dispatch(WM_COMMAND, BN_CLICKED, 12));
    EXPECT_TRUE(target.dispatch(WM_DESTROY, 0, 0));
    EXPECT_EQ(target.log, "base-only;base-only;base-destroy;");
}

TEST(MessageMap, ABaseObjectNeverReachesDerivedEntries)
{
    CBase target;
    EXPECT_TRUE(target.dispatch(WM_COMMAND, BN_CLICKED, 10));
    EXPECT_FALSE(target.dispatch(WM_COMMAND, BN_CLICKED, 12));
    EXPECT_FALSE(target.dispatch(WM_TIMER, 0, 0, 1));
    EXPECT_EQ(target.log, "base-shared;");
}

TEST(MessageMap, OtherNotificationsAndMessagesAreNotHandled)
{
    CDerived target;
    EXPECT_FALSE(target.dispatch(WM_COMMAND, 1, 10)); // not a click
    EXPECT_FALSE(target.dispatch(WM_COMMAND, BN_CLICKED, 99));
    EXPECT_FALSE(target.dispatch(WM_SETICON, 0, 0));
    EXPECT_EQ(target.log, "");
}
} // namespace
