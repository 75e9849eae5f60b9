#include "LogViewAccessible.h"

#include "LogView.h"

#include <QAccessible>

#include <algorithm>

namespace {
QAccessibleInterface* logViewInterface(const QString& className, QObject* object)
{
    if (className == QLatin1String("CLogView"))
        if (auto* view = qobject_cast<CLogView*>(object))
            return new CLogViewAccessible(view);
    return nullptr;
}

QString lineText(const CDisplayLines& lines, std::size_t line, std::size_t columns)
{
    std::u16string cells = lines.displayText(line, 0, columns);
    return QString::fromUtf16(cells.data(), qsizetype(cells.size()));
}
} // namespace

CLogViewAccessible::CLogViewAccessible(CLogView* logView)
    : QAccessibleWidget(logView, QAccessible::EditableText)
{
}

void CLogViewAccessible::install()
{
    static const bool installed = (QAccessible::installFactory(logViewInterface), true);
    (void)installed;
}

CLogView* CLogViewAccessible::view() const
{
    return static_cast<CLogView*>(widget());
}

QAccessible::State CLogViewAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.editable = false;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

QString CLogViewAccessible::text(QAccessible::Text kind) const
{
    if (kind == QAccessible::Value)
        return displayed();
    return QAccessibleWidget::text(kind);
}

void* CLogViewAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString CLogViewAccessible::displayed() const
{
    const CDisplayLines& lines = view()->displayLines();
    QString out;
    for (std::size_t line = 0; line < lines.lineCount(); ++line) {
        if (line > 0)
            out.append(QLatin1Char('\n'));
        out.append(lineText(lines, line, std::u16string::npos));
    }
    return out;
}

int CLogViewAccessible::displayedOffset(std::size_t textOffset) const
{
    const CDisplayLines& lines = view()->displayLines();
    std::size_t target = lines.lineOf(textOffset);
    qsizetype offset = 0;
    for (std::size_t line = 0; line < target; ++line)
        offset += lineText(lines, line, std::u16string::npos).size() + 1;
    offset += lineText(lines, target, lines.columnOf(target, textOffset)).size();
    return int(offset);
}

void CLogViewAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const
{
    *startOffset = 0;
    *endOffset = 0;
    if (selectionIndex != 0 || !view()->hasSelection())
        return;
    *startOffset = displayedOffset(view()->selectionStart());
    *endOffset = displayedOffset(view()->selectionEnd());
}

int CLogViewAccessible::selectionCount() const
{
    return view()->hasSelection() ? 1 : 0;
}

// The selection is the user's: assistive tools read it but do not change it.
void CLogViewAccessible::addSelection(int, int)
{
}
void CLogViewAccessible::removeSelection(int)
{
}
void CLogViewAccessible::setSelection(int, int, int)
{
}
void CLogViewAccessible::setCursorPosition(int)
{
}

int CLogViewAccessible::cursorPosition() const
{
    return displayedOffset(view()->cursorOffset());
}

QString CLogViewAccessible::text(int startOffset, int endOffset) const
{
    QString all = displayed();
    startOffset = std::clamp(startOffset, 0, int(all.size()));
    endOffset = std::clamp(endOffset, startOffset, int(all.size()));
    return all.mid(startOffset, endOffset - startOffset);
}

int CLogViewAccessible::characterCount() const
{
    return int(displayed().size());
}

QRect CLogViewAccessible::characterRect(int) const
{
    return {};
}

int CLogViewAccessible::offsetAtPoint(const QPoint&) const
{
    return -1;
}

void CLogViewAccessible::scrollToSubstring(int, int)
{
}

QString CLogViewAccessible::attributes(int offset, int* startOffset, int* endOffset) const
{
    *startOffset = offset;
    *endOffset = offset;
    return {};
}
