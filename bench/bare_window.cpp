// The floor of the programs' stack, for comparison: a Qt Widgets window that opens the
// device named on its command line and does nothing else. Built by startup.sh.
//
// With `poll` after the device, it also looks at the device every 50 ms, as often as a
// connected receiver wakes (its read's 50 ms time-out, then at once the tick that fell
// due): the least a Qt program can spend on the receiver's schedule, one pass of the
// event loop a wake-up where the receiver needs two. With `label`, it shows one line of
// text, as every window with a control does, and so loads fonts, which the bare window
// alone never needs.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstring>

#include <fcntl.h>
#include <poll.h>

int main(int argc, char** argv)
{
    // As the programs run: no OpenGL for a widgets-only window on X11.
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);
    const int fd = argc < 2 ? -1 : open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 1;
    QTimer looking;
    looking.setTimerType(Qt::PreciseTimer);
    QObject::connect(&looking, &QTimer::timeout, [fd] {
        pollfd entry { fd, POLLIN, 0 };
        poll(&entry, 1, 0);
    });
    const char* mode = argc > 2 ? argv[2] : "";
    if (std::strcmp(mode, "poll") == 0)
        looking.start(50);
    QWidget window;
    if (std::strcmp(mode, "label") == 0)
        new QLabel(QStringLiteral("Port:"), &window);
    window.setWindowTitle(QStringLiteral("Bare"));
    window.resize(280, 300);
    window.show();
    return QApplication::exec();
}
