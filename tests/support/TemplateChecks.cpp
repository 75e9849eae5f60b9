#include "TemplateChecks.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {
std::string describe(const QString& text, QSize needed, QSize has)
{
    std::ostringstream out;
    out << '"' << text.toStdString() << "\" needs " << needed.width() << 'x' << needed.height()
        << " px, has " << has.width() << 'x' << has.height();
    return out.str();
}

// Ink may reach past the advance (overhangs), so the larger of the two is what shows.
int textWidth(const QFontMetrics& metrics, const QString& text)
{
    return std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).width());
}

std::vector<QWidget*> controlsOf(const QWidget* window)
{
    QList<QWidget*> children = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    return { children.begin(), children.end() };
}
} // namespace

std::vector<std::string> textsThatDoNotFit(const QWidget* window)
{
    std::vector<std::string> problems;
    for (QWidget* widget : controlsOf(window)) {
        QFontMetrics metrics(widget->font());
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            QSize needed(textWidth(metrics, label->text()), metrics.height());
            QSize has = label->contentsRect().size();
            if (needed.width() > has.width() || needed.height() > has.height())
                problems.push_back(describe(label->text(), needed, has));
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            QStyle* style = button->style();
            QRect inside = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
            QSize needed(textWidth(metrics, button->text()) + margin, metrics.height());
            if (needed.width() > inside.width() || needed.height() > inside.height())
                problems.push_back(describe(button->text(), needed, inside.size()));
        } else if (auto* list = qobject_cast<QComboBox*>(widget)) {
            QStyleOptionComboBox option;
            option.initFrom(list);
            option.editable = list->isEditable();
            QRect field = list->style()->subControlRect(
                QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
            for (int i = 0; i < list->count(); ++i) {
                QSize needed(textWidth(metrics, list->itemText(i)), metrics.height());
                if (needed.width() > field.width() || needed.height() > field.height())
                    problems.push_back(describe(list->itemText(i), needed, field.size()));
            }
        }
    }
    return problems;
}

std::vector<std::string> overlappingControls(const QWidget* window)
{
    std::vector<std::string> problems;
    std::vector<QWidget*> controls = controlsOf(window);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            if (controls[i]->isHidden() || controls[j]->isHidden())
                continue;
            if (controls[i]->geometry().intersects(controls[j]->geometry()))
                problems.push_back(controls[i]->metaObject()->className() + std::string(" \"")
                    + controls[i]->accessibleName().toStdString() + "\" and "
                    + controls[j]->metaObject()->className() + " \""
                    + controls[j]->accessibleName().toStdString() + '"');
        }
    }
    return problems;
}

std::vector<std::string> controlsOutOfProportion(
    const QWidget* window, const DialogTemplate& dialogTemplate)
{
    std::vector<std::string> problems;
    std::vector<QWidget*> controls = controlsOf(window);
    if (controls.size() != dialogTemplate.items.size())
        return { "the window has " + std::to_string(controls.size()) + " controls, the template "
            + std::to_string(dialogTemplate.items.size()) };
    // A pixel of rounding at each edge, as a share of the window.
    const double acrossSlack = 2.0 / window->width();
    const double downSlack = 2.0 / window->height();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const DialogItem& item = dialogTemplate.items[i];
        QRect rect = controls[i]->geometry();
        auto check = [&](const char* what, double shown, double planned, double slack) {
            if (std::abs(shown - planned) > slack)
                problems.push_back(std::string(controls[i]->metaObject()->className()) + ' '
                    + std::to_string(i) + ' ' + what + ": " + std::to_string(shown)
                    + " of the window, " + std::to_string(planned) + " in the template");
        };
        check("x", double(rect.x()) / window->width(), double(item.x) / dialogTemplate.cx,
            acrossSlack);
        check("width", double(rect.width()) / window->width(), double(item.cx) / dialogTemplate.cx,
            acrossSlack);
        check("y", double(rect.y()) / window->height(), double(item.y) / dialogTemplate.cy,
            downSlack);
        if (item.kind != ControlClass::comboBox)
            check("height", double(rect.height()) / window->height(),
                double(item.cy) / dialogTemplate.cy, downSlack);
    }
    return problems;
}

CDesktopFont::CDesktopFont(const QString& family, int points, int dpi)
    : previous(QApplication::font())
{
    QFont font(family);
    font.setPixelSize(int(std::lround(points * dpi / 72.0)));
    QApplication::setFont(font);
}

CDesktopFont::~CDesktopFont()
{
    QApplication::setFont(previous);
}

bool fontInstalled(const QString& family)
{
    return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

void PrintTo(const DesktopFontCase& value, std::ostream* out)
{
    *out << value.family << " at " << value.dpi << " dpi";
}

std::vector<DesktopFontCase> desktopFontCases()
{
    std::vector<DesktopFontCase> cases;
    for (const char* family : { "DejaVu Sans", "Noto Sans", "Cantarell" })
        for (int dpi : { 96, 120, 144, 192 })
            cases.push_back({ family, dpi });
    return cases;
}
