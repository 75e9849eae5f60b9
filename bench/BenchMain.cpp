// Benchmark entry: one QApplication and one receiver application object for the whole
// run, as in the program, so benchmarks can build real dialogs.
#include "ReceiveApp.h"
#include "ReceiveBenchmarks.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <clocale>

int main(int argc, char** argv)
{
    // Conversions follow the locale, as in the programs.
    std::setlocale(LC_ALL, "");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CReceiveApp receiver;

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The dialogs' windows must go while the application still exists.
    releaseReceiverRigs();
    return 0;
}
