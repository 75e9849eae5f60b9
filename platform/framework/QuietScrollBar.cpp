#include "QuietScrollBar.h"

#include <QStyle>
#include <QStyleOptionSlider>

void CQuietScrollBar::endChanges()
{
    batching = false;
    if (changed
        && (look() != painted || style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this)))
        QScrollBar::sliderChange(SliderValueChange);
}

void CQuietScrollBar::sliderChange(SliderChange change)
{
    if (batching && change != SliderOrientationChange) {
        changed = true;
        return;
    }
    QScrollBar::sliderChange(change);
}

void CQuietScrollBar::paintEvent(QPaintEvent* event)
{
    painted = look();
    QScrollBar::paintEvent(event);
}

CQuietScrollBar::Look CQuietScrollBar::look() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return { style()->subControlRect(
                 QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
        value() == minimum(), value() == maximum() };
}
