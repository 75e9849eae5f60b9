#include "DialogUnits.h"

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <cmath>
#include <optional>

namespace {
// The room a label's or a push button's text needs and the room the control gives it,
// in pixels: a label gives its contents rectangle, a push button the part inside its
// bevel less the style's margin, so the text never touches the frame.
struct TextRoom {
    QSize needed;
    QSize given;
};

std::optional<TextRoom> textRoomOf(QWidget* widget)
{
    QFontMetrics metrics(widget->font());
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        if (label->text().isEmpty())
            return std::nullopt;
        return TextRoom { metrics.size(Qt::TextShowMnemonic, label->text()),
            label->contentsRect().size() };
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        if (button->text().isEmpty())
            return std::nullopt;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        if (button->isDefault())
            option.features |= QStyleOptionButton::DefaultButton;
        QStyle* style = button->style();
        QRect inside = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        return TextRoom { metrics.size(Qt::TextShowMnemonic, button->text()),
            inside.size() - QSize(margin, 0) };
    }
    return std::nullopt;
}
} // namespace

// The template's font is the desktop's general font: "System" names no family here,
// and the user's own font size is what makes the dialog readable on their screen.
CDialogUnits::CDialogUnits(const QFont& font)
{
    QFontMetrics metrics(font);
    static const QString alphabet
        = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseUnitX = std::max(1, (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2);
    baseUnitY = std::max(1, metrics.height());
}

int CDialogUnits::toPixelsX(int units) const
{
    return int(std::lround(units * baseUnitX * scale / 4));
}

int CDialogUnits::toPixelsY(int units) const
{
    return int(std::lround(units * baseUnitY * scale / 8));
}

void CDialogUnits::place(const std::vector<std::unique_ptr<CControlWindow>>& controls) const
{
    for (const auto& control : controls) {
        const DialogItem& item = control->item();
        QWidget* widget = control->widget();
        // From the rounded edges, not the rounded size, so controls that meet in the
        // template meet on screen and never overlap by a pixel.
        QRect rect(QPoint(toPixelsX(item.x), toPixelsY(item.y)),
            QPoint(toPixelsX(item.x + item.cx) - 1, toPixelsY(item.y + item.cy) - 1));
        if (item.kind == ControlClass::comboBox) {
            // A list's height is the height of its dropped-down part; the closed box is as
            // tall as its font needs.
            rect.setHeight(std::min(rect.height(), widget->sizeHint().height()));
        }
        widget->setGeometry(rect);
    }
}

// Each round finds the text that lacks the most room against its control's size and
// grows the scale by that much; since a control's frame and margins keep their size in
// pixels, one round usually does it and a second takes up what rounding lost.
void CDialogUnits::growToFit(const std::vector<std::unique_ptr<CControlWindow>>& controls)
{
    constexpr int rounds = 16;
    for (int round = 0; round < rounds; ++round) {
        double growth = 1;
        for (const auto& control : controls) {
            QWidget* widget = control->widget();
            std::optional<TextRoom> room = textRoomOf(widget);
            if (!room)
                continue;
            QSize lacking = (room->needed - room->given).expandedTo(QSize(0, 0));
            if (widget->width() > 0)
                growth
                    = std::max(growth, double(widget->width() + lacking.width()) / widget->width());
            if (widget->height() > 0)
                growth = std::max(
                    growth, double(widget->height() + lacking.height()) / widget->height());
        }
        if (growth <= 1)
            return;
        scale *= growth;
        place(controls);
    }
}
