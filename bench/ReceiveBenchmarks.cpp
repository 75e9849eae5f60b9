// What the receiver costs while it runs: the time of one tick as the field grows, how
// long a line takes from the far end's write to the field, the processor time of a
// silent or vanished device, and the memory each received byte holds.
//
// Everything goes through the real dialog, its real port code and a pseudo-terminal;
// nothing is replaced for the measurement.
#include "ReceiveBenchmarks.h"

#include "LogView.h"
#include "ProcessStats.h"
#include "ReceiverRig.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <poll.h>
#include <random>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using namespace std::chrono_literals;

constexpr std::size_t megabyte = std::size_t(1) << 20;

// A rig whose field was filled through real ticks, with what the filling cost.
struct FilledRig {
    std::unique_ptr<CReceiverRig> rig;
    MemoryUse before;
    MemoryUse after;
    std::size_t unitsAfterFill = 0;
    double fillSeconds = 0;
    bool filled = false;
};

std::map<std::size_t, FilledRig>& filledRigs()
{
    static std::map<std::size_t, FilledRig> rigs;
    return rigs;
}

// The rig whose field holds `bytes` received bytes, made on first use. Its own timer is
// held, so only the benchmark's ticks read its port.
FilledRig& rigHolding(std::size_t bytes)
{
    FilledRig& entry = filledRigs()[bytes];
    if (entry.rig)
        return entry;
    entry.rig = std::make_unique<CReceiverRig>();
    if (!entry.rig->isConnected())
        return entry;
    entry.rig->holdTimer();
    QCoreApplication::processEvents();
    entry.before = currentMemoryUse();
    double start = wallSeconds();
    entry.filled = entry.rig->receive(bytes);
    entry.fillSeconds = wallSeconds() - start;
    entry.after = currentMemoryUse();
    entry.unitsAfterFill = entry.rig->fieldLength();
    return entry;
}

// Keeps the event loop turning for `duration`, as the program's own loop would.
void runEventLoopFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// One tick with 128 new bytes waiting, on a field already holding state.range(0) bytes.
// The far end's write and the wait for its bytes to reach the device's queue are
// outside the measured time, and so is the repaint the tick asks for (it is done
// before the next write, as the event loop would do it between ticks).
void tickWith128NewBytes(benchmark::State& state, bool withPaint)
{
    FilledRig& entry = rigHolding(std::size_t(state.range(0)));
    if (!entry.filled) {
        state.SkipWithError("the field could not be filled through the port");
        return;
    }
    CReceiverRig& rig = *entry.rig;
    std::size_t expected = rig.fieldLength();
    for (auto _ : state) {
        state.PauseTiming();
        if (!withPaint)
            QCoreApplication::processEvents();
        std::string bytes = rig.lines().next(CReceiveDialog::readBufferSize);
        expected += CLineSource::unitsFor(bytes);
        if (!rig.farEnd().send(bytes) || !rig.farEnd().waitForWaiting(bytes.size(), 1s)) {
            state.SkipWithError("the far end's bytes did not reach the device");
            break;
        }
        state.ResumeTiming();
        rig.tick();
        if (withPaint)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    if (rig.fieldLength() != expected)
        state.SkipWithError("the field does not hold every byte sent");
    state.counters["field_MB"] = double(state.range(0)) / double(megabyte);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * CReceiveDialog::readBufferSize);
}

void BM_TickWith128NewBytes(benchmark::State& state)
{
    tickWith128NewBytes(state, false);
}
void BM_TickWith128NewBytesAndRepaint(benchmark::State& state)
{
    tickWith128NewBytes(state, true);
}

// Resident memory the field holds per byte received: measured just before the 20 MB
// arrived through real ticks and just after.
void BM_MemoryPerReceivedByte(benchmark::State& state)
{
    const std::size_t bytes = std::size_t(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(rigHolding(bytes));
    FilledRig& entry = rigHolding(bytes);
    if (!entry.filled) {
        state.SkipWithError("the field could not be filled through the port");
        return;
    }
    auto perByte = [&](std::size_t before, std::size_t after) {
        return after > before ? double(after - before) / double(bytes) : 0.0;
    };
    state.counters["private_per_byte"]
        = perByte(entry.before.privateBytes, entry.after.privateBytes);
    state.counters["rss_per_byte"] = perByte(entry.before.resident, entry.after.resident);
    state.counters["rss_before_MB"] = double(entry.before.resident) / double(megabyte);
    state.counters["rss_after_MB"] = double(entry.after.resident) / double(megabyte);
    state.counters["field_units"] = double(entry.unitsAfterFill);
    // Real ticks did the filling, so this is also what a tick costs under a full load.
    state.counters["fill_us_per_tick"]
        = entry.fillSeconds * 1e6 / std::ceil(double(bytes) / CReceiveDialog::readBufferSize);
}

// A device that sends one short line at a time, from a thread of its own, each after a
// random pause of 0 to `longestPauseMs` after the previous line arrived, so that its
// writes fall anywhere in the receiver's timer cycle as a real device's would. It sends the next
// line only once the previous one has been seen, and notes when each write began.
class LineSender {
public:
    static constexpr std::string_view line = "temperature=21.5 C \r"; // 20 characters and CR

    LineSender(CFarEnd& device, int lines, int longestPauseMs)
        : thread([this, &device, lines, longestPauseMs] { run(device, lines, longestPauseMs); })
    {
    }
    ~LineSender()
    {
        stop = true;
        thread.join();
    }

    // Called by the observer when `count` lines have arrived in all; records the
    // latency of the newest.
    void arrivedLines(int count)
    {
        if (count <= arrived.load())
            return;
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        latencies.push_back(double(now - sentAtNs.load()) * 1e-6);
        arrived = count;
    }
    int arrivedCount() const { return arrived.load(); }
    std::vector<double>& latenciesMs() { return latencies; }

private:
    void run(CFarEnd& device, int lines, int longestPauseMs)
    {
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> pauseUs(0, longestPauseMs * 1000);
        for (int i = 0; i < lines && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
            sentAtNs = std::chrono::steady_clock::now().time_since_epoch().count();
            device.send(line);
            while (arrived.load() <= i && !stop)
                std::this_thread::sleep_for(50us);
        }
    }

    std::atomic<int> arrived { 0 };
    std::atomic<bool> stop { false };
    std::atomic<std::int64_t> sentAtNs { 0 };
    std::vector<double> latencies;
    std::thread thread;
};

void reportLatencies(benchmark::State& state, std::vector<double> latencies, int samples)
{
    if (int(latencies.size()) < samples) {
        state.SkipWithError("a sample is missing: a line or event never arrived");
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        return latencies[std::min(latencies.size() - 1, std::size_t(p * double(latencies.size())))];
    };
    state.counters["median_ms"] = percentile(0.5);
    state.counters["p90_ms"] = percentile(0.9);
    state.counters["p99_ms"] = percentile(0.99);
    state.counters["max_ms"] = latencies.back();
    state.counters["over_5ms_share"] = double(std::count_if(latencies.begin(), latencies.end(),
                                           [](double ms) { return ms > 5; }))
        / double(latencies.size());
    state.counters["samples"] = double(latencies.size());
}

// From the far end's write of a short line to the line being in the field, with the
// dialog's own 25 ms timer and the event loop running. The field is looked at from the
// event loop after every event.
void BM_LatencyOfShortLine(benchmark::State& state)
{
    const int lines = int(state.range(0));
    const std::size_t unitsPerLine = CLineSource::unitsFor(std::string(LineSender::line));
    std::vector<double> latencies;
    for (auto _ : state) {
        CReceiverRig rig;
        if (!rig.isConnected()) {
            state.SkipWithError("could not connect");
            return;
        }
        const std::size_t baseline = rig.fieldLength();
        LineSender sender(rig.farEnd(), lines, int(state.range(1)));
        QEventLoop loop;
        QTimer watcher;
        watcher.setInterval(0);
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            sender.arrivedLines(int((rig.fieldLength() - baseline) / unitsPerLine));
            if (sender.arrivedCount() >= lines)
                loop.quit();
        });
        QTimer::singleShot(std::chrono::milliseconds(lines * (state.range(1) + 100) + 5000), &loop,
            &QEventLoop::quit);
        watcher.start();
        loop.exec();
        latencies = sender.latenciesMs();
    }
    reportLatencies(state, latencies, lines);
}

// The same far end and lines, read by a plain blocking poll() and read() on the raw
// slave, with no dialog, timer or event loop: what the machine's own scheduling and the
// pseudo-terminal's hand-over cost. The receiver cannot do better than this.
void BM_LatencyFloorOfPseudoTerminal(benchmark::State& state)
{
    const int lines = int(state.range(0));
    std::vector<double> latencies;
    for (auto _ : state) {
        CFarEnd device;
        if (!device.isValid()) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        LineSender sender(device, lines, int(state.range(1)));
        std::size_t received = 0;
        const auto deadline = std::chrono::steady_clock::now()
            + std::chrono::milliseconds(lines * (state.range(1) + 100) + 5000);
        while (sender.arrivedCount() < lines && std::chrono::steady_clock::now() < deadline) {
            pollfd entry { device.slaveFd(), POLLIN, 0 };
            if (poll(&entry, 1, 100) <= 0)
                continue;
            char buffer[256];
            ssize_t n = read(device.slaveFd(), buffer, sizeof buffer);
            if (n > 0)
                received += std::size_t(n);
            sender.arrivedLines(int(received / LineSender::line.size()));
        }
        latencies = sender.latenciesMs();
    }
    reportLatencies(state, latencies, lines);
}

// How long an event posted from another thread waits before the event loop handles it:
// what a click, a key or a repaint waits for. Posted at random moments, 0 to 30 ms
// apart, while the receiver is connected to a silent device with its timer running
// (ticking 1) or held (ticking 0, the event loop alone, for comparison). Each tick's
// read holds the program's one thread until bytes come or the read time-out ends.
void BM_EventDelayWhileConnectedSilent(benchmark::State& state)
{
    const int events = int(state.range(0));
    const bool ticking = state.range(1) != 0;
    std::vector<double> delays;
    for (auto _ : state) {
        CReceiverRig rig;
        if (!rig.isConnected()) {
            state.SkipWithError("could not connect");
            return;
        }
        if (!ticking)
            rig.holdTimer();
        delays.clear();
        std::atomic<int> handled { 0 };
        std::thread poster([&] {
            std::mt19937 random(54321);
            std::uniform_int_distribution<int> pauseUs(0, 30000);
            for (int i = 0; i < events; ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
                auto posted = std::chrono::steady_clock::now();
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [&delays, &handled, posted] {
                        auto waited = std::chrono::steady_clock::now() - posted;
                        delays.push_back(std::chrono::duration<double, std::milli>(waited).count());
                        ++handled;
                    },
                    Qt::QueuedConnection);
                while (handled.load() <= i)
                    std::this_thread::sleep_for(50us);
            }
        });
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (handled.load() >= events)
                loop.quit();
        });
        check.start(10);
        QTimer::singleShot(
            std::chrono::milliseconds(events * 100 + 5000), &loop, &QEventLoop::quit);
        loop.exec();
        poster.join();
    }
    reportLatencies(state, delays, events);
}

// Processor time over wall time while connected and nothing arrives, and after the far
// end has hung up, with the dialog's own timer and the event loop running; 1.0 is one
// whole core.
void idleCpu(benchmark::State& state, bool hungUp)
{
    const auto span = std::chrono::milliseconds(state.range(0));
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        CReceiverRig rig;
        if (!rig.isConnected()) {
            state.SkipWithError("could not connect");
            return;
        }
        if (hungUp)
            rig.farEnd().hangUp();
        const double cpuStart = processCpuSeconds();
        const double wallStart = wallSeconds();
        runEventLoopFor(span);
        cpu = processCpuSeconds() - cpuStart;
        wall = wallSeconds() - wallStart;
        if (!hungUp && !rig.isConnected())
            state.SkipWithError("the dialog disconnected by itself");
    }
    state.counters["cpu_share_of_core"] = cpu / wall;
    state.counters["cpu_ms_per_s"] = 1000 * cpu / wall;
}

void BM_IdleCpuConnectedSilent(benchmark::State& state)
{
    idleCpu(state, false);
}
void BM_IdleCpuAfterHangUp(benchmark::State& state)
{
    idleCpu(state, true);
}

constexpr std::int64_t fieldSizes[] = { 0, std::int64_t(megabyte), std::int64_t(20 * megabyte) };

void tickArguments(benchmark::internal::Benchmark* benchmark)
{
    for (std::int64_t size : fieldSizes)
        benchmark->Arg(size);
    benchmark->ArgName("field_bytes")->Unit(benchmark::kMicrosecond);
}

// Pauses of up to 30 ms keep the far end busy within the timer's cycle; pauses of up to
// 200 ms are a device that reports a few times a second.
void latencyArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->Args({ 200, 30 })->Args({ 100, 200 })->ArgNames({ "lines", "pause_ms" });
    benchmark->Iterations(1)->Unit(benchmark::kSecond);
}

} // namespace

// The memory benchmark comes first: it fills the 20 MB field while the heap holds
// nothing else of that size, so its growth is the field's alone.
BENCHMARK(BM_MemoryPerReceivedByte)
    ->Arg(std::int64_t(20 * megabyte))
    ->ArgName("field_bytes")
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_TickWith128NewBytes)->Apply(tickArguments);
BENCHMARK(BM_TickWith128NewBytesAndRepaint)->Apply(tickArguments);
BENCHMARK(BM_LatencyFloorOfPseudoTerminal)->Apply(latencyArguments);
BENCHMARK(BM_LatencyOfShortLine)->Apply(latencyArguments);
BENCHMARK(BM_EventDelayWhileConnectedSilent)
    ->Args({ 200, 1 })
    ->Args({ 200, 0 })
    ->ArgNames({ "events", "ticking" })
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleCpuConnectedSilent)
    ->Arg(10000)
    ->ArgName("ms")
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleCpuAfterHangUp)
    ->Arg(10000)
    ->ArgName("ms")
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void releaseReceiverRigs()
{
    filledRigs().clear();
}
