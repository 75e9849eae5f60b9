// What a screen reader sees of the receiver's field: read-only, multi-line text named by
// the dialog, with the text as the field displays it (lines joined by '\n', control
// characters as their pictures) and the user's selection in it.
#pragma once

#include <QAccessibleWidget>

class CLogView;

class CLogViewAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit CLogViewAccessible(CLogView* view);

    // Makes Qt ask for this interface for every CLogView; safe to call more than once.
    static void install();

    QAccessible::State state() const override;
    QString text(QAccessible::Text kind) const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // Offsets count the characters of the displayed text.
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    CLogView* view() const;
    QString displayed() const;
    // Where a text offset of the field falls in the displayed text.
    int displayedOffset(std::size_t textOffset) const;
};
