// The receiver's read-only multi-line field: it holds everything that has arrived and
// shows it in fixed-pitch cells, drawn straight from the shared text.
//
// Holding the text costs its two bytes per character plus a small line index; setText
// with a text that extends the one held costs the length of the appended part, whatever
// the size of the whole, and painting draws only the visible cells of the visible lines.
// What setText is given is kept exactly and text() gives it back unchanged; only the
// display reads line ends and control characters (see CDisplayLines).
//
// While the view shows the end of the text, appended text keeps the last line in view;
// once the user scrolls up to read, the view stays where they put it.
#pragma once

#include "DisplayLines.h"
#include "WideString.h"

#include <QAbstractScrollArea>
#include <QFont>
#include <QString>
#include <algorithm>
#include <cstddef>
#include <string>

class QKeyEvent;
class QMenu;
class QPainter;

class CLogView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit CLogView(QWidget* parent = nullptr);

    void setText(const CWideString& text);
    const CWideString& text() const { return lines.text(); }

    std::size_t lineCount() const { return lines.lineCount(); }
    std::size_t firstVisibleLine() const;
    bool isFollowingEnd() const;

    bool hasSelection() const { return anchor != cursor; }
    // The selection's ends as text offsets, and where it ends now.
    std::size_t selectionStart() const { return std::min(anchor, cursor); }
    std::size_t selectionEnd() const { return std::max(anchor, cursor); }
    std::size_t cursorOffset() const { return cursor; }
    const CDisplayLines& displayLines() const { return lines; }
    // The selected text as displayed, lines joined by '\n'.
    QString selectedText() const;

    // The menu the context menu shows; the caller owns it.
    QMenu* createContextMenu();

    // Whether the view itself acts on this key: it scrolls, selects or copies, and
    // changes nothing else.
    static bool isOwnKey(const QKeyEvent& event);

public slots:
    void selectAll();
    void copy();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void updateFont();
    void updateScrollBars();
    std::size_t visibleLines() const;
    std::size_t visibleColumns() const;
    std::size_t offsetAtPoint(QPointF point) const;
    void selectWordAt(std::size_t offset);
    void moveCursorTo(std::size_t offset, bool extend);
    void drawCells(QPainter& painter, qreal y, const std::u16string& cells) const;

    // Space between the frame and the first cell, so the first character does not touch
    // it.
    static constexpr int leftMargin = 3;

    CDisplayLines lines;
    // Selection as text offsets: anchor is where it began, cursor where it ends now.
    std::size_t anchor = 0;
    std::size_t cursor = 0;
    QFont cellFont;
    qreal cellWidth = 1;
    int lineHeight = 1;
    int ascent = 0;
};
