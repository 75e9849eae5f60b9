#include "Framework.h"

#include "DialogWindow.h"
#include "OpenFailure.h"
#include "QtText.h"
#include "WinApp.h"

#include <QApplication>
#include <QBuffer>
#include <QImageReader>
#include <QInputMethod>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>

#include <vector>

namespace {
QWidget* widgetOf(CWnd& window)
{
    return window.native() ? window.native()->widget() : nullptr;
}

// Loaded icons; a handle is an index into this list plus one. Icons live as long as
// the program.
std::vector<QIcon>& icons()
{
    static std::vector<QIcon> loaded;
    return loaded;
}

QIcon iconFor(IconHandle handle)
{
    if (handle <= 0 || std::size_t(handle) > icons().size())
        return {};
    return icons()[std::size_t(handle - 1)];
}
} // namespace

void enableControl(CWnd& control, Enable state)
{
    if (QWidget* widget = widgetOf(control))
        widget->setEnabled(state == Enable::on);
}

void focusControl(CWnd& control)
{
    if (QWidget* widget = widgetOf(control))
        widget->setFocus(Qt::OtherFocusReason);
}

void showMessage(const CWideString& text, std::uint32_t style)
{
    (void)style; // one OK button is the only style the programs use
    CWinApp* app = CWinApp::instance();
    QString title = app ? toQString(app->title()) : QApplication::applicationDisplayName();
    QWidget* parent = QApplication::activeWindow();
    if (!parent && app && app->getMainWindow())
        parent = widgetOf(*app->getMainWindow());
    QMessageBox box(QMessageBox::NoIcon, title, toQString(text), QMessageBox::Ok, parent);
    // Both texts are shown as they stand: the cause names paths and programs that
    // anyone may name, and markup in them must never render (nor a link go live).
    box.setTextFormat(Qt::PlainText);
    // The only failure the programs tell of is a port that would not open; the system
    // library knows why, and the box says it beneath the program's own words.
    if (std::optional<COpenFailure> failure = takeLastOpenFailure())
        box.setInformativeText(QString::fromStdString(describe(*failure)));
    // The box's format covers only its main text; its informative label is set here.
    for (auto* label : box.findChildren<QLabel*>())
        label->setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void centreDialog(CDialog& dialog)
{
    QWidget* window = widgetOf(dialog);
    if (!window)
        return;
    // On Wayland a window cannot place itself: the compositor decides where it goes.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return;
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect area = screen->availableGeometry();
    QSize size = window->frameGeometry().size().expandedTo(window->size());
    window->move(area.x() + (area.width() - size.width()) / 2,
        area.y() + (area.height() - size.height()) / 2);
}

std::intptr_t sendMessage(
    CWnd& window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    switch (message) {
    case WM_SETICON: {
        CDialogWindow* dialog = dialogWindowOf(window);
        if (!dialog)
            return -1;
        // One icon holds every size, so the large and the small icon are the same
        // object here; setting either sets both.
        (void)wParam;
        dialog->setWindowIcon(iconFor(lParam));
        return 0;
    }
    case CB_SETCURSEL:
        if (CControlWindow* control = controlWindowOf(window))
            return control->setSelection(int(std::intptr_t(wParam)));
        return -1;
    case CB_ADDSTRING:
        if (CControlWindow* control = controlWindowOf(window); control && lParam)
            return control->addString(CWideString(reinterpret_cast<const char16_t*>(lParam)));
        return -1;
    default:
        return -1;
    }
}

IconHandle loadIcon(std::uint16_t groupId)
{
    for (const IconGroup& group : programResources().icons) {
        if (group.id != groupId)
            continue;
        QByteArray bytes = QByteArray::fromRawData(
            reinterpret_cast<const char*>(group.iconFile.data()), qsizetype(group.iconFile.size()));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "ico");
        QIcon icon;
        for (QImage image = reader.read(); !image.isNull(); image = reader.read()) {
            icon.addPixmap(QPixmap::fromImage(image));
            if (!reader.jumpToNextImage())
                break;
        }
        if (icon.isNull())
            return noIcon;
        icons().push_back(icon);
        return IconHandle(icons().size());
    }
    return noIcon;
}

std::uintptr_t startTimer(CWnd& window, std::uintptr_t id, std::uint32_t period, void (*callback)())
{
    (void)callback; // timer messages go to the window's handlers
    CDialogWindow* dialog = dialogWindowOf(window);
    if (!dialog || !dialog->startDialogTimer(id, period))
        return 0;
    return id;
}

bool stopTimer(CWnd& window, std::uintptr_t id)
{
    CDialogWindow* dialog = dialogWindowOf(window);
    return dialog && dialog->stopDialogTimer(id);
}

bool showInputPanel(int state)
{
    QInputMethod* method = QGuiApplication::inputMethod();
    if (!method)
        return false;
    method->setVisible(state != 0);
    return true;
}
