// The floor of the programs' stack, for comparison: a Qt Widgets window that opens the
// device named on its command line and does nothing else. Built by startup.sh.
#include <QApplication>
#include <QWidget>

#include <fcntl.h>

int main(int argc, char** argv)
{
    // As the programs run: no OpenGL for a widgets-only window on X11.
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);
    if (argc < 2 || open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK) < 0)
        return 1;
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare"));
    window.resize(280, 300);
    window.show();
    return QApplication::exec();
}
