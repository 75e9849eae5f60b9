// Test entry: one QApplication for the whole run, so tests can build real widgets.
#include <QApplication>
#include <clocale>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Conversions follow the locale, as in the programs.
    std::setlocale(LC_ALL, "");
    // No display is needed unless the caller asks for one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
