#include "LogView.h"

#include "LogViewAccessible.h"
#include "QuietScrollBar.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// Scroll bars count in int; a text with more lines or columns than that scrolls only as
// far as int reaches.
int toScrollUnits(std::size_t value)
{
    return static_cast<int>(std::min<std::size_t>(value, INT_MAX));
}

} // namespace

CLogView::CLogView(QWidget* parent)
    : QAbstractScrollArea(parent)
{
    setVerticalScrollBar(new CQuietScrollBar(Qt::Vertical, this));
    setHorizontalScrollBar(new CQuietScrollBar(Qt::Horizontal, this));
    // The scroll area lays its bars out again after every range change, in case one
    // should now show or hide, and that raises and so repaints them; at every append.
    // The vertical bar always shows, so its range never changes the layout. That layout
    // is all the area does on a range change (it scrolls on valueChanged), so every
    // connection from the bar's range to the area goes, whatever Qt calls its slot.
    disconnect(verticalScrollBar(), &QScrollBar::rangeChanged, this, nullptr);
    // The field always shows a vertical scroll bar; lines are never wrapped, so long ones
    // get a horizontal bar when they need it.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    updateFont();
    CLogViewAccessible::install();
}

void CLogView::setText(const CWideString& text)
{
    // Appending changes the last line and adds lines after it (an LF after a CR that
    // ended the text only completes the break that CR already showed).
    std::size_t held = lines.lineCount();
    std::size_t changedFrom = held > 0 ? held - 1 : 0;
    if (lines.setText(text) == CDisplayLines::Update::rebuilt) {
        // Offsets into the old text mean nothing in the new one.
        anchor = 0;
        cursor = 0;
        changedFrom = 0;
    }
    // Following the end scrolls what is shown (scrollContentsBy); then only the changed
    // lines are drawn again.
    updateScrollBars();
    std::size_t top = firstVisibleLine();
    if (changedFrom <= top) {
        viewport()->update();
    } else if (changedFrom - top <= visibleLines()) {
        int y = static_cast<int>(changedFrom - top) * lineHeight;
        viewport()->update(0, y, viewport()->width(), viewport()->height() - y);
    }
}

// Every row's pixels depend only on its place below the first visible line, since rows
// are whole pixels high: a vertical scroll moves what is drawn and draws the rows that
// come into view. Columns are fractional pixels wide, so a sideways one draws it all.
// So does one with a selection, whose text the paint engine blends differently when
// what it draws is not one rectangle: moved rows would not match rows drawn afresh.
void CLogView::scrollContentsBy(int dx, int dy)
{
    if (dx == 0 && !hasSelection() && static_cast<std::size_t>(std::abs(dy)) < visibleLines())
        viewport()->scroll(0, dy * lineHeight);
    else
        viewport()->update();
}

std::size_t CLogView::firstVisibleLine() const
{
    return static_cast<std::size_t>(verticalScrollBar()->value());
}

bool CLogView::isFollowingEnd() const
{
    return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

// Cells are laid out in the system's fixed-pitch font at the size the field was given,
// so the dialog's choice of size still holds while every column is the same width.
void CLogView::updateFont()
{
    cellFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFont& own = font();
    if (own.pointSizeF() > 0)
        cellFont.setPointSizeF(own.pointSizeF());
    else if (own.pixelSize() > 0)
        cellFont.setPixelSize(own.pixelSize());
    QFontMetricsF metrics(cellFont);
    cellWidth = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('M')));
    lineHeight = std::max(1, static_cast<int>(std::ceil(metrics.lineSpacing())));
    ascent = static_cast<int>(std::ceil(metrics.ascent()));
    updateScrollBars();
    viewport()->update();
}

std::size_t CLogView::visibleLines() const
{
    return static_cast<std::size_t>(std::max(1, viewport()->height() / lineHeight));
}

std::size_t CLogView::visibleColumns() const
{
    int width = viewport()->width() - leftMargin;
    return static_cast<std::size_t>(std::max<qreal>(1, std::floor(width / cellWidth)));
}

void CLogView::updateScrollBars()
{
    auto* vertical = static_cast<CQuietScrollBar*>(verticalScrollBar());
    auto* horizontal = static_cast<CQuietScrollBar*>(horizontalScrollBar());
    vertical->beginChanges();
    horizontal->beginChanges();

    bool following = isFollowingEnd();
    std::size_t rows = visibleLines();
    std::size_t count = lines.lineCount();
    vertical->setRange(0, toScrollUnits(count > rows ? count - rows : 0));
    vertical->setPageStep(toScrollUnits(rows));
    vertical->setSingleStep(1);
    if (following)
        vertical->setValue(vertical->maximum());

    // One cell beyond the longest line, where a selected line break is shown.
    std::size_t columns = visibleColumns();
    std::size_t widest = lines.longestLineColumns() + 1;
    horizontal->setRange(0, toScrollUnits(widest > columns ? widest - columns : 0));
    horizontal->setPageStep(toScrollUnits(columns));
    horizontal->setSingleStep(1);

    vertical->endChanges();
    horizontal->endChanges();
}

// Printable ASCII is drawn in runs, since the fixed-pitch font gives it exactly one cell
// each; anything else (pictures, other scripts, pairs) may come from a fallback font of
// another width, so it is placed in its own cell to keep the columns straight.
void CLogView::drawCells(QPainter& painter, qreal y, const std::u16string& cells) const
{
    qreal baseline = y + ascent;
    QString run;
    std::size_t runColumn = 0;
    std::size_t column = 0;
    auto flush = [&] {
        if (!run.isEmpty())
            painter.drawText(QPointF(leftMargin + runColumn * cellWidth, baseline), run);
        run.clear();
    };
    for (std::size_t i = 0; i < cells.size(); ++i) {
        char16_t unit = cells[i];
        if (unit >= 0x20 && unit < 0x7F) {
            if (run.isEmpty())
                runColumn = column;
            run.append(QChar(unit));
            ++column;
            continue;
        }
        flush();
        std::size_t units = 1;
        if (QChar::isHighSurrogate(unit) && i + 1 < cells.size()
            && QChar::isLowSurrogate(cells[i + 1]))
            units = 2;
        painter.drawText(QPointF(leftMargin + column * cellWidth, baseline),
            QString::fromUtf16(cells.data() + i, static_cast<qsizetype>(units)));
        i += units - 1;
        ++column;
    }
    flush();
}

void CLogView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    painter.setFont(cellFont);
    QPalette::ColorGroup group = !isEnabled() ? QPalette::Disabled
        : hasFocus()                          ? QPalette::Active
                                              : QPalette::Inactive;
    const QPalette& colours = palette();
    QColor textColour = colours.color(group, QPalette::Text);
    QColor highlight = colours.color(group, QPalette::Highlight);
    QColor highlightedText = colours.color(group, QPalette::HighlightedText);

    std::size_t top = firstVisibleLine();
    std::size_t firstColumn = static_cast<std::size_t>(horizontalScrollBar()->value());
    std::size_t columns = visibleColumns() + 1;
    // Only the rows the paint covers: a tick that appends a line draws that line.
    const QRect dirty = event->rect();
    std::size_t firstRow = static_cast<std::size_t>(std::max(0, dirty.top()) / lineHeight);
    std::size_t rows = std::min(
        visibleLines() + 1, static_cast<std::size_t>(std::max(0, dirty.bottom()) / lineHeight + 1));
    std::size_t selectionStart = std::min(anchor, cursor);
    std::size_t selectionEnd = std::max(anchor, cursor);
    QRect area = viewport()->rect();

    for (std::size_t row = firstRow; row < rows && top + row < lines.lineCount(); ++row) {
        std::size_t line = top + row;
        qreal y = static_cast<qreal>(row) * lineHeight;
        std::u16string cells = lines.displayText(line, firstColumn, columns);

        std::size_t start = lines.lineStart(line);
        std::size_t end = lines.lineEnd(line);
        bool selected = hasSelection() && selectionStart <= end && selectionEnd >= start;
        QRectF mark;
        if (selected) {
            std::size_t from = lines.columnOf(line, selectionStart);
            std::size_t to = lines.columnOf(line, selectionEnd);
            // A selection that runs past the line's end takes its break with it.
            if (selectionEnd > end)
                ++to;
            qreal left = leftMargin + (static_cast<qreal>(from) - firstColumn) * cellWidth;
            qreal right = leftMargin + (static_cast<qreal>(to) - firstColumn) * cellWidth;
            mark = QRectF(QPointF(std::max<qreal>(left, 0), y),
                QPointF(std::min<qreal>(right, area.width()), y + lineHeight));
            selected = mark.width() > 0;
        }
        if (!selected) {
            painter.setPen(textColour);
            drawCells(painter, y, cells);
            continue;
        }
        painter.fillRect(mark, highlight);
        QRect markPixels = mark.toAlignedRect();
        painter.setClipRegion(QRegion(area).subtracted(markPixels));
        painter.setPen(textColour);
        drawCells(painter, y, cells);
        painter.setClipRect(markPixels);
        painter.setPen(highlightedText);
        drawCells(painter, y, cells);
        painter.setClipping(false);
    }
}

void CLogView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void CLogView::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateFont();
    else if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        viewport()->update();
}

void CLogView::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void CLogView::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}
