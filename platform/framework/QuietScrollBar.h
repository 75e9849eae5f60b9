// A scroll bar that repaints only when what it shows changes. The received-text view
// sets its range, steps and value at every append, and once the text is long the slider
// neither moves nor shrinks by a pixel; repainting it anyway costs more than drawing the
// new text, since the style spreads the fills of its tall gradients over worker threads
// and wakes them.
#pragma once

#include <QRect>
#include <QScrollBar>

class CQuietScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

    // What is set between these two repaints the bar once at most: when the slider or
    // its ends then look different from what was last drawn (or the style's bars fade
    // in on every change).
    void beginChanges()
    {
        batching = true;
        changed = false;
    }
    void endChanges();

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // What a paint of the bar depends on that setting its range or value can alter.
    struct Look {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look&) const = default;
    };

    Look look() const;

    bool batching = false;
    bool changed = false;
    Look painted;
};
