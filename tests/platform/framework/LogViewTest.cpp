#include "LogView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Failures show the text rather than its bytes.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

class LogView : public ::testing::Test {
protected:
    LogView()
    {
        view.resize(240, 160);
        view.show();
        QApplication::processEvents();
    }

    bool press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {})
    {
        QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
        QApplication::sendEvent(&view, &event);
        return event.isAccepted();
    }

    void mouse(QEvent::Type type, QPointF at, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(
            type, at, view.viewport()->mapToGlobal(at), Qt::LeftButton, held, modifiers);
        QApplication::sendEvent(view.viewport(), &event);
    }

    // Appends numbered lines the way the receiver does: to the text the view holds.
    void appendLines(int count)
    {
        CWideString text = view.text();
        for (int i = 0; i < count; ++i)
            text.append(QStringLiteral("line %1\r\n").arg(view.lineCount() + i).toStdU16String());
        view.setText(text);
    }

    CLogView view;
};

TEST_F(LogView, GivesBackExactlyWhatItWasGiven)
{
    const std::u16string received(u"a\0b\rc\nd\r\n\ne\x2028"
                                  u"f\x2029\xD83D\xDE00\x7F\r",
        18);
    CWideString text(received);
    view.setText(text);
    EXPECT_EQ(view.text(), received);

    view.selectAll();
    EXPECT_EQ(view.selectedText(),
        QString::fromUtf16(u"a\x2400"
                           u"b\nc\nd\ne\x21B5"
                           u"f\x00B6\xD83D\xDE00\x2421\n"));
}

TEST_F(LogView, KeepsTheLastLineInViewOnlyWhileAtTheEnd)
{
    appendLines(3);
    EXPECT_TRUE(view.isFollowingEnd());
    EXPECT_EQ(view.firstVisibleLine(), 0u);

    appendLines(50);
    ASSERT_GT(view.firstVisibleLine(), 0u);
    EXPECT_TRUE(view.isFollowingEnd());
    std::size_t shownBelowTop = view.lineCount() - view.firstVisibleLine();
    appendLines(7);
    EXPECT_EQ(view.lineCount() - view.firstVisibleLine(), shownBelowTop);

    // Scrolled up to read: arriving text leaves the view where the user put it.
    press(Qt::Key_PageUp);
    std::size_t reading = view.firstVisibleLine();
    EXPECT_FALSE(view.isFollowingEnd());
    appendLines(20);
    EXPECT_EQ(view.firstVisibleLine(), reading);

    // Back at the end, it follows again.
    press(Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(view.isFollowingEnd());
    appendLines(5);
    EXPECT_EQ(view.lineCount() - view.firstVisibleLine(), shownBelowTop);
}

TEST_F(LogView, SelectAllThenCopyPutsTheDisplayedTextOnTheClipboard)
{
    view.setText(CWideString(u"one\r\n\ntwo\tx\x01\r\n\n"));
    QApplication::clipboard()->setText(QStringLiteral("before"));
    EXPECT_TRUE(press(Qt::Key_A, Qt::ControlModifier));
    EXPECT_TRUE(press(Qt::Key_C, Qt::ControlModifier));
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf16(u"one\ntwo     x\x2401\n"));
}

TEST_F(LogView, ContextMenuCopiesOnlyWhenSomethingIsSelected)
{
    view.setText(CWideString(u"alpha\nbeta"));
    std::unique_ptr<QMenu> menu(view.createContextMenu());
    QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3); // Copy, separator, Select All
    EXPECT_FALSE(actions[0]->isEnabled());
    actions[2]->trigger();

    menu.reset(view.createContextMenu());
    ASSERT_TRUE(menu->actions()[0]->isEnabled());
    menu->actions()[0]->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("alpha\nbeta"));
}

TEST_F(LogView, MouseSelectsDragsExtendsAndPicksWords)
{
    view.setText(CWideString(u"hello world\nsecond line\nthird"));
    QPointF firstCell(4, 2);
    QPointF farRightOfFirstLine(view.viewport()->width() - 2, 2);
    mouse(QEvent::MouseButtonPress, firstCell);
    mouse(QEvent::MouseMove, farRightOfFirstLine);
    mouse(QEvent::MouseButtonRelease, farRightOfFirstLine);
    EXPECT_EQ(view.selectedText(), QStringLiteral("hello world"));

    // Shift+click below and right of the text extends to its very end.
    QPointF belowText(view.viewport()->width() - 2, view.viewport()->height() - 2);
    mouse(QEvent::MouseButtonPress, belowText, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), QStringLiteral("hello world\nsecond line\nthird"));

    mouse(QEvent::MouseButtonDblClick, firstCell);
    EXPECT_EQ(view.selectedText(), QStringLiteral("hello"));
}

TEST_F(LogView, TypingChangesNothingAndOnlyNewTextReplacesIt)
{
    CWideString text(u"kept");
    view.setText(text);
    EXPECT_FALSE(press(Qt::Key_X, Qt::NoModifier, QStringLiteral("x")));
    press(Qt::Key_Backspace);
    press(Qt::Key_Delete);
    EXPECT_EQ(view.text(), std::u16string_view(u"kept"));

    // Text that does not extend what is shown replaces the lines and the selection.
    view.setText(CWideString(u"aaa\nbbb\nccc"));
    view.selectAll();
    view.setText(CWideString(u"x"));
    EXPECT_EQ(view.lineCount(), 1u);
    EXPECT_FALSE(view.hasSelection());
    EXPECT_EQ(view.text(), std::u16string_view(u"x"));
}

TEST_F(LogView, LongLinesScrollSidewaysInsteadOfWrapping)
{
    view.setText(CWideString(std::u16string(100000, u'x')));
    EXPECT_EQ(view.lineCount(), 1u);
    EXPECT_GT(view.horizontalScrollBar()->maximum(), 90000);
    press(Qt::Key_End);
    EXPECT_EQ(view.horizontalScrollBar()->value(), view.horizontalScrollBar()->maximum());
}

TEST_F(LogView, SelectionIsDrawnHighlighted)
{
    QColor highlight(Qt::magenta);
    QPalette colours = view.palette();
    colours.setColor(QPalette::Highlight, highlight);
    view.setPalette(colours);
    view.setText(CWideString(u"some text\nmore text"));
    auto countHighlighted = [&] {
        QImage image = view.viewport()->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += image.pixelColor(x, y) == highlight;
        return count;
    };
    EXPECT_EQ(countHighlighted(), 0);
    view.selectAll();
    EXPECT_GT(countHighlighted(), 0);
}

// Appends redraw only what they change and scroll the rest on screen; what the window
// shows must stay what drawing it all afresh gives, through every kind of append.
TEST_F(LogView, WhatAppendsLeaveOnScreenIsWhatAFullRepaintDraws)
{
    // The pixels that differ between the window's backing store and a fresh drawing.
    auto stale = [&] {
        QApplication::processEvents();
        QImage shown = view.screen()->grabWindow(view.winId()).toImage();
        QImage fresh = view.grab().toImage();
        if (shown.size() != fresh.size())
            return -1;
        int count = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                if (shown.pixel(x, y) != fresh.pixel(x, y)) {
                    ++count;
                    fprintf(stderr, "%d,%d ", x, y);
                }
        if (count) {
            shown.save("/tmp/screen.png");
            fresh.save("/tmp/fresh.png");
            fprintf(stderr, "\n");
        }
        return count;
    };
    CWideString text;
    auto append = [&](const std::u16string& more) {
        text.append(more);
        view.setText(text);
    };

    // Lines that fill the view, then push the first ones out a line or several at a time,
    // a line finished in pieces, a CR whose LF comes in the next append, a selection.
    for (int i = 0; i < 40; ++i) {
        if (i == 25)
            view.selectAll();
        std::u16string line = QStringLiteral("line %1 ").arg(i).toStdU16String();
        if (i % 3 == 0) {
            append(line);
            EXPECT_EQ(stale(), 0) << "after part of line " << i;
            append(u"rest\r");
            EXPECT_EQ(stale(), 0) << "after the CR of line " << i;
            append(u"\n");
        } else {
            append(line + (i % 5 == 0 ? u"\r\n\r\n\r\n" : u"\r\n"));
        }
        ASSERT_EQ(stale(), 0) << "after line " << i;
    }

    // Scrolled back: text arriving below changes nothing shown but the scroll bar.
    press(Qt::Key_PageUp);
    EXPECT_EQ(stale(), 0);
    append(u"more\r\n");
    EXPECT_EQ(stale(), 0);
    press(Qt::Key_End, Qt::ControlModifier);
    append(u"and the end\r\n");
    EXPECT_EQ(stale(), 0);
}

} // namespace
