// Checks that hold for the window of any dialog template, whatever the desktop's font:
// each label's and push button's text fits inside its control, the drop-down list shows
// its widest entry, and no two controls cover each other. Measured with the font the
// window actually uses, against the rectangles the style draws text into.
#pragma once

#include "Resources.h"

#include <QFont>
#include <QString>
#include <ostream>
#include <string>
#include <vector>

class QWidget;

// One line per text that does not fit, naming the text and the room it needs and has.
std::vector<std::string> textsThatDoNotFit(const QWidget* window);
// One line per pair of visible controls whose rectangles overlap.
std::vector<std::string> overlappingControls(const QWidget* window);
// One line per control whose place and size, as a share of the window's, are not those
// of its rectangle in the template (to within a pixel's rounding). Drop-down lists are
// checked across only, since their template height is that of the open list.
std::vector<std::string> controlsOutOfProportion(
    const QWidget* window, const DialogTemplate& dialogTemplate);

// A desktop's UI font, as it would be at `points` on a screen of `dpi` dots per inch:
// the application's font while this lives, so windows built meanwhile take it.
class CDesktopFont {
public:
    CDesktopFont(const QString& family, int points, int dpi);
    ~CDesktopFont();
    CDesktopFont(const CDesktopFont&) = delete;
    CDesktopFont& operator=(const CDesktopFont&) = delete;

private:
    QFont previous;
};

bool fontInstalled(const QString& family);

// The fonts Debian's desktops use for their UI, and the screens they are used on.
struct DesktopFontCase {
    const char* family;
    int dpi;
};
std::vector<DesktopFontCase> desktopFontCases();
void PrintTo(const DesktopFontCase& value, std::ostream* out);
inline constexpr int desktopPointSizes[] = { 9, 10, 11 };
