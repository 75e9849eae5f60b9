#include "TextContrast.h"

#include "LogView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QStyleOptionComboBox>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <map>

namespace {
constexpr double readable = 4.5;
// Rows whose most common colours are closer than this belong to one background: the
// shades of a button's gradient, not a selection's band.
constexpr double sameBackground = 1.1;

double luminance(const QColor& colour)
{
    auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF())
        + 0.0722 * linear(colour.blueF());
}

QRgb mostCommon(const std::map<QRgb, int>& counts)
{
    return std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
    })->first;
}

// A stretch of rows that shares one background, and the strongest contrast any pixel in
// it has with that background: the text's own colour where glyphs cover whole pixels.
struct Band {
    int top = 0;
    int bottom = 0;
    QRgb background = 0;
    double ink = 1;
};

// Splits `area` of `image` into bands by each row's most common colour, so text on a
// selection and text beside it are each measured against their own background.
std::vector<Band> bandsOf(const QImage& image, QRect area)
{
    std::vector<Band> bands;
    std::map<QRgb, int> bandCounts;
    auto close = [&](int bottom) {
        if (bandCounts.empty())
            return;
        Band& band = bands.back();
        band.bottom = bottom;
        band.background = mostCommon(bandCounts);
        for (int y = band.top; y <= band.bottom; ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                band.ink = std::max(band.ink, contrastRatio(image.pixel(x, y), band.background));
        bandCounts.clear();
    };
    QRgb previous = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        std::map<QRgb, int> rowCounts;
        for (int x = area.left(); x <= area.right(); ++x)
            ++rowCounts[image.pixel(x, y)];
        QRgb row = mostCommon(rowCounts);
        if (bands.empty() || contrastRatio(row, previous) >= sameBackground) {
            close(y - 1);
            bands.push_back({ y, y });
        }
        previous = row;
        for (const auto& [colour, count] : rowCounts)
            bandCounts[colour] += count;
    }
    close(area.bottom());
    return bands;
}

// Where a control draws its text, in the window's coordinates, and how many separate
// backgrounds hold text there.
struct TextArea {
    QString name;
    QRect rect;
    int texts = 1;
};

std::vector<TextArea> textAreas(QWidget* window)
{
    std::vector<TextArea> areas;
    auto add = [&](QWidget* widget, QRect local, int texts = 1) {
        // A view's viewport goes by the view's name.
        QWidget* named
            = qobject_cast<CLogView*>(widget->parentWidget()) ? widget->parentWidget() : widget;
        QString name = named->metaObject()->className();
        if (!named->accessibleName().isEmpty())
            name += " \"" + named->accessibleName() + "\"";
        areas.push_back(
            { name, QRect(widget->mapTo(window, local.topLeft()), local.size()), texts });
    };
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisible() || !widget->isEnabled())
            continue;
        if (auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty()) {
            add(label, label->contentsRect());
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget);
            button && !button->text().isEmpty()) {
            // Inside the bevel: the face the caption sits on.
            add(button, button->rect().adjusted(4, 4, -4, -4));
        } else if (auto* list = qobject_cast<QComboBox*>(widget); list && list->count() > 0) {
            QStyleOptionComboBox option;
            option.initFrom(list);
            option.editable = list->isEditable();
            add(list,
                list->style()->subControlRect(
                    QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list));
        } else if (auto* field = qobject_cast<QLineEdit*>(widget);
            field && !field->text().isEmpty()) {
            add(field, field->rect().adjusted(3, 3, -3, -3));
        } else if (auto* view = qobject_cast<CLogView*>(widget); view && view->lineCount() > 0) {
            // A selection of whole lines sets them on a background of their own.
            add(view->viewport(), view->viewport()->rect(), view->hasSelection() ? 2 : 1);
        }
    }
    return areas;
}
} // namespace

QPalette darkDesktopPalette()
{
    const QColor window(0x35, 0x35, 0x35);
    const QColor text(0xee, 0xee, 0xec);
    QPalette palette(text, window, window.lighter(130), window.darker(160), window.darker(130),
        text, QColor(0xff, 0xff, 0xff), QColor(0x2d, 0x2d, 0x2d), window);
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, QColor(0x15, 0x53, 0x9e));
    palette.setColor(QPalette::HighlightedText, QColor(0xff, 0xff, 0xff));
    palette.setColor(QPalette::ToolTipBase, window);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x91, 0x91, 0x90));
    palette.setColor(QPalette::Link, QColor(0x35, 0x84, 0xe4));
    for (auto role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText })
        palette.setColor(QPalette::Disabled, role, QColor(0x91, 0x91, 0x90));
    return palette;
}

CDarkDesktop::CDarkDesktop()
    : saved(QApplication::palette())
{
    QApplication::setPalette(darkDesktopPalette());
}

CDarkDesktop::~CDarkDesktop()
{
    QApplication::setPalette(saved);
}

double contrastRatio(const QColor& first, const QColor& second)
{
    double a = luminance(first);
    double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

std::vector<QString> lowContrastTexts(QWidget* window)
{
    const QImage image = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // The grab is in device pixels; the areas are in logical ones.
    const qreal scale = image.devicePixelRatio();
    std::vector<QString> problems;
    for (const TextArea& area : textAreas(window)) {
        QRect pixels = QRect((QPointF(area.rect.topLeft()) * scale).toPoint(),
            (QSizeF(area.rect.size()) * scale).toSize())
                           .intersected(image.rect());
        int inked = 0;
        for (const Band& band : bandsOf(image, pixels)) {
            if (band.ink <= 1)
                continue;
            ++inked;
            if (band.ink < readable)
                problems.push_back(QString("%1: text at rows %2-%3 has contrast %4:1 with %5")
                        .arg(area.name)
                        .arg(band.top)
                        .arg(band.bottom)
                        .arg(band.ink, 0, 'f', 2)
                        .arg(QColor(band.background).name()));
        }
        if (inked < area.texts)
            problems.push_back(QString("%1: %2 of %3 texts can be seen at all")
                    .arg(area.name)
                    .arg(inked)
                    .arg(area.texts));
    }
    return problems;
}
