// The framework's entry code: sets up the process, then hands over to the program's one
// application object. When its startUp() returns false the program ends with status 0
// and no message loop of its own.
#include "Dialog.h"
#include "DialogWindow.h"
#include "QtText.h"
#include "Version.h"
#include "WinApp.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {
int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    int saved = errno;
    char byte = 1;
    [[maybe_unused]] auto ignored = write(signalPipe[1], &byte, 1);
    errno = saved;
}

// Ending by SIGINT, SIGTERM or SIGHUP goes the same way as closing the window, so
// ports are released and their terminal settings put back.
void endOnSignals(QApplication& app)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char drain[16];
        while (read(signalPipe[0], drain, sizeof drain) > 0) { }
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        // Ends the dialog as its cancel does, through the window, so that a handler
        // running now (waiting on its port) finishes first.
        CWinApp* theApp = CWinApp::instance();
        auto* dialog = theApp ? dynamic_cast<CDialog*>(theApp->getMainWindow()) : nullptr;
        if (CDialogWindow* window = dialog ? dialogWindowOf(*dialog) : nullptr)
            window->deliver(WM_COMMAND, BN_CLICKED, IDCANCEL, 0);
        else if (dialog)
            dialog->endDialog(IDCANCEL);
        else
            QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : { SIGINT, SIGTERM, SIGHUP })
        sigaction(signal, &action, nullptr);
}
// The dialog's layout needs font metrics before its window can be shown, and the first
// use of fonts reads fontconfig's configuration and caches: about a fifth of start-up.
// The toolkit's own set-up (the display connection, the platform theme) does not need
// fonts, so the reading is started on a thread of its own beside it. fontconfig is
// already loaded with the toolkit; it is looked up rather than linked to.
std::thread readFontConfiguration()
{
    using Init = int (*)();
    auto init = reinterpret_cast<Init>(dlsym(RTLD_DEFAULT, "FcInit"));
    if (!init)
        return {};
    return std::thread(init);
}
} // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");

    // A widgets-only program has no use for OpenGL on X11; loading it costs tens of
    // megabytes and a noticeable part of start-up.
    if (qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");

    std::thread fonts = readFontConfiguration();
    QApplication app(argc, argv);
    // Done before anything measures text: a second reader would not wait for the first,
    // it would read everything again itself.
    if (fonts.joinable())
        fonts.join();
    CWinApp* theApp = CWinApp::instance();
    if (!theApp)
        return 1;
    QApplication::setApplicationDisplayName(toQString(theApp->title()));
    QApplication::setApplicationVersion(toQString(serialpadsVersionDots));
    // Lets the desktop match the window to the program's menu entry and icon.
    QGuiApplication::setDesktopFileName(
        QStringLiteral("org.serialpads.") + toQString(theApp->title()));
    QApplication::setQuitOnLastWindowClosed(false);
    endOnSignals(app);

    if (theApp->startUp())
        return QApplication::exec();
    return 0;
}
