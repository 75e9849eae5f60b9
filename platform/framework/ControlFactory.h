// The widgets of a dialog's controls, made from its template items in template order:
// one Qt widget per item, with the item's style bits (enabled, visible, tab stop), tab
// order in template order, and a name for screen readers: its own text, the
// template's name for it, or else the text of the label just before it.
#pragma once

#include "ControlWindow.h"

#include <memory>
#include <vector>

// `complete` is false when an item named a kind of control there is no widget for;
// the other items are still made.
std::vector<std::unique_ptr<CControlWindow>> makeControls(
    const DialogTemplate& dialogTemplate, QWidget& parent, bool& complete);
