// The received-text view's answers to the user: keys and the mouse move the cursor and
// the selection, which can be copied; the view's text itself never changes here.
#include "LogView.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <cmath>

namespace {

bool isWordUnit(char16_t unit)
{
    return unit == u'_' || QChar(unit).isLetterOrNumber() || QChar::isSurrogate(unit);
}

} // namespace

bool CLogView::isOwnKey(const QKeyEvent& event)
{
    if (event.matches(QKeySequence::SelectAll) || event.matches(QKeySequence::Copy)
        || event.matches(QKeySequence::MoveToStartOfDocument)
        || event.matches(QKeySequence::MoveToEndOfDocument))
        return true;
    switch (event.key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
        return true;
    default:
        return false;
    }
}

// The field is read-only: keys only move the view or work on the selection, and typing
// changes nothing. Enter is taken here, as by a multi-line field, rather than passed on
// to the dialog.
void CLogView::keyPressEvent(QKeyEvent* event)
{
    QScrollBar* vertical = verticalScrollBar();
    QScrollBar* horizontal = horizontalScrollBar();
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
        vertical->setValue(0);
        horizontal->setValue(0);
    } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
        vertical->setValue(vertical->maximum());
    } else {
        switch (event->key()) {
        case Qt::Key_Up:
            vertical->triggerAction(QAbstractSlider::SliderSingleStepSub);
            break;
        case Qt::Key_Down:
            vertical->triggerAction(QAbstractSlider::SliderSingleStepAdd);
            break;
        case Qt::Key_PageUp:
            vertical->triggerAction(QAbstractSlider::SliderPageStepSub);
            break;
        case Qt::Key_PageDown:
            vertical->triggerAction(QAbstractSlider::SliderPageStepAdd);
            break;
        case Qt::Key_Left:
            horizontal->triggerAction(QAbstractSlider::SliderSingleStepSub);
            break;
        case Qt::Key_Right:
            horizontal->triggerAction(QAbstractSlider::SliderSingleStepAdd);
            break;
        case Qt::Key_Home:
            horizontal->setValue(0);
            break;
        case Qt::Key_End:
            horizontal->setValue(horizontal->maximum());
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            break;
        default:
            event->ignore();
            return;
        }
    }
    event->accept();
}

std::size_t CLogView::offsetAtPoint(QPointF point) const
{
    // A point above or below the viewport picks the line just beyond it, so dragging
    // out of the view selects on into the lines there.
    qint64 row = static_cast<qint64>(std::floor(point.y() / lineHeight));
    qint64 last = static_cast<qint64>(lines.lineCount()) - 1;
    qint64 line = std::clamp<qint64>(static_cast<qint64>(firstVisibleLine()) + row, 0, last);
    qreal cells = std::max<qreal>(0, std::round((point.x() - leftMargin) / cellWidth));
    std::size_t column = static_cast<std::size_t>(horizontalScrollBar()->value())
        + static_cast<std::size_t>(cells);
    return lines.offsetAt(static_cast<std::size_t>(line), column);
}

void CLogView::moveCursorTo(std::size_t offset, bool extend)
{
    if (!extend)
        anchor = offset;
    cursor = offset;
    viewport()->update();
}

void CLogView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    moveCursorTo(offsetAtPoint(event->position()), event->modifiers() & Qt::ShiftModifier);
}

void CLogView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    QPointF point = event->position();
    if (point.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (point.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    moveCursorTo(offsetAtPoint(point), true);
}

void CLogView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    selectWordAt(offsetAtPoint(event->position()));
}

void CLogView::selectWordAt(std::size_t offset)
{
    const CWideString& text = lines.text();
    std::size_t line = lines.lineOf(offset);
    std::size_t start = lines.lineStart(line);
    std::size_t end = lines.lineEnd(line);
    std::size_t from = offset;
    std::size_t to = offset;
    while (from > start && isWordUnit(text[from - 1]))
        --from;
    while (to < end && isWordUnit(text[to]))
        ++to;
    if (from == to && to < end)
        ++to;
    anchor = from;
    moveCursorTo(to, true);
}

void CLogView::selectAll()
{
    anchor = 0;
    moveCursorTo(lines.text().length(), true);
}

QString CLogView::selectedText() const
{
    QString out;
    if (!hasSelection())
        return out;
    std::size_t from = std::min(anchor, cursor);
    std::size_t to = std::max(anchor, cursor);
    std::size_t firstLine = lines.lineOf(from);
    std::size_t lastLine = lines.lineOf(to);
    for (std::size_t line = firstLine; line <= lastLine; ++line) {
        std::size_t left = line == firstLine ? lines.columnOf(line, from) : 0;
        // Only the last line needs its right edge found; the others are taken to their end.
        std::size_t count = std::u16string::npos;
        if (line == lastLine) {
            std::size_t right = lines.columnOf(line, to);
            count = right > left ? right - left : 0;
        }
        std::u16string cells = lines.displayText(line, left, count);
        out.append(QString::fromUtf16(cells.data(), static_cast<qsizetype>(cells.size())));
        if (line != lastLine)
            out.append(QLatin1Char('\n'));
    }
    return out;
}

void CLogView::copy()
{
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

QMenu* CLogView::createContextMenu()
{
    auto* menu = new QMenu(this);
    QAction* copyAction = menu->addAction(tr("&Copy"), this, &CLogView::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    menu->addSeparator();
    QAction* selectAllAction = menu->addAction(tr("Select &All"), this, &CLogView::selectAll);
    selectAllAction->setShortcut(QKeySequence::SelectAll);
    selectAllAction->setEnabled(!lines.text().empty());
    return menu;
}

// The menu pops up and this returns at once: a menu run in a loop of its own would
// keep a wait beneath it (a tick's read) from returning until the menu closed.
void CLogView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = createContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
