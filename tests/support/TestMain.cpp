// Test entry: one QApplication for the whole run, so tests can build real widgets.
#include <QApplication>
#include <clocale>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Conversions follow the locale, as in the programs.
    std::setlocale(LC_ALL, "");
    qputenv("QT_QPA_PLATFORM",
        qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
