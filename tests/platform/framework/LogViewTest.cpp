#include "LogView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
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

TEST_F(LogView, TypingChangesNothing)
{
    CWideString text(u"kept");
    view.setText(text);
    EXPECT_FALSE(press(Qt::Key_X, Qt::NoModifier, QStringLiteral("x")));
    press(Qt::Key_Backspace);
    press(Qt::Key_Delete);
    EXPECT_EQ(view.text(), std::u16string_view(u"kept"));
}

TEST_F(LogView, TextThatDoesNotExtendReplacesLinesAndSelection)
{
    CWideString text(u"aaa\nbbb\nccc");
    view.setText(text);
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

} // namespace
