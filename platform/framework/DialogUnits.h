// Dialog units and the placing of controls. Rectangles in a template are dialog units,
// mapped to pixels through the dialog font (average character width / 4 across,
// character height / 8 down), so the window scales with the desktop's font and with
// HiDPI. Fonts differ in how wide their words are against their average letter, so
// where a label's or a button's text would not fit its rectangle at that size, the
// whole dialog grows by the factor that makes every text fit: the template's
// proportions stay.
#pragma once

#include "ControlWindow.h"

#include <memory>
#include <vector>

class QFont;

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    // How much larger than the font's own dialog units the dialog was made so that
    // every text fits; 1 when they already did.
    double fitScale() const { return scale; }

    // Puts each control at its template rectangle.
    void place(const std::vector<std::unique_ptr<CControlWindow>>& controls) const;
    // Grows the scale until every label's and push button's text fits, placing the
    // controls again each time.
    void growToFit(const std::vector<std::unique_ptr<CControlWindow>>& controls);

private:
    int baseUnitX = 8;
    int baseUnitY = 16;
    double scale = 1;
};
