// Checks that a window's texts stay readable: each text against what is drawn behind it
// keeps a contrast ratio of at least 4.5:1, the WCAG level for normal text, measured on
// the pixels the window really draws. Used with a dark desktop's palette, where a colour
// taken from the wrong role (dark text on a dark field) shows at once.
#pragma once

#include <QPalette>
#include <QString>
#include <vector>

class QColor;
class QWidget;

// The colours GNOME's dark Adwaita theme gives Qt programs through the GTK platform theme.
QPalette darkDesktopPalette();

// Gives the whole application the dark palette while it lives, then the one it had.
class CDarkDesktop {
public:
    CDarkDesktop();
    ~CDarkDesktop();
    CDarkDesktop(const CDarkDesktop&) = delete;
    CDarkDesktop& operator=(const CDarkDesktop&) = delete;

private:
    QPalette saved;
};

// The WCAG contrast ratio of two colours, from their relative luminance: 1 to 21.
double contrastRatio(const QColor& first, const QColor& second);

// One problem per text of `window`'s enabled controls (labels, buttons, lists, fields,
// the received-text view's lines) whose contrast with its background falls below 4.5:1
// or that cannot be seen at all; empty when all are readable. Disabled controls are left
// out, as WCAG leaves them out: they are dimmed on purpose.
std::vector<QString> lowContrastTexts(QWidget* window);
