// SPDX-License-Identifier: MIT
#include "latencyreport.h"

#include "base/exitstatus.h"
#include "base/report.h"
#include "fatalerror.h"
#include "realtimekit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ms(std::int64_t ns)
{
    return Fixed(double(ns) / 1e6, 3) + " ms";
}

// A share as a percentage to the hundredth, never rounded up to a whole 100.
std::string Percent(double share)
{
    const double hundredths = std::min(std::round(share * 10000.0), share < 1.0 ? 9999.0 : 10000.0);
    return Fixed(hundredths / 100.0, 2) + " %";
}

std::string BucketName(std::size_t bucket)
{
    return bucket < LatenessBoundsNs.size() ? "<= " + Ms(LatenessBoundsNs[bucket])
                                            : "> " + Ms(LatenessBoundsNs.back());
}

} // namespace

std::string LatencyVerdict(const LatencySummary& s)
{
    std::string line = std::string(s.Keeps() ? "keeps 1 kHz: " : "does not keep 1 kHz: ") +
                       Percent(s.within500us) + " of ticks within 0.5 ms, worst " + Ms(s.max);
    if (s.missed > 0)
        line += ", " + std::to_string(s.missed) + " ticks missed";
    return line;
}

std::string LatencyText(const LatencySummary& s)
{
    std::string text = "latency test: " + std::to_string(s.seconds) +
                       " s of the 1 ms stepping clock, nothing written\n";
    text += "scheduling: " + s.scheduling + "\n";
    text += "ticks: " + std::to_string(s.ticks) + " (" + std::to_string(s.delivered) +
            " delivered, " + std::to_string(s.missed) + " missed)\n";
    text += "lateness: min " + Ms(s.min) + ", p50 " + Ms(s.p50) + ", p99 " + Ms(s.p99) +
            ", p99.9 " + Ms(s.p999) + ", max " + Ms(s.max) + "\n";
    text += "on time: " + Percent(s.within100us) + " within 0.1 ms, " + Percent(s.within500us) +
            " within 0.5 ms\n";
    text += "lateness of the delivered ticks:\n";
    std::uint64_t most = 1;
    for (std::uint64_t count : s.histogram)
        most = std::max(most, count);
    for (std::size_t bucket = 0; bucket < s.histogram.size(); ++bucket) {
        char row[96];
        std::snprintf(row, sizeof row, "  %-12s %8llu ", BucketName(bucket).c_str(),
                      static_cast<unsigned long long>(s.histogram[bucket]));
        // A bar of 40 marks at most, one at least for any tick at all.
        const auto marks = std::size_t((s.histogram[bucket] * 40 + most - 1) / most);
        text += row + std::string(marks, '#') + "\n";
    }
    text += "verdict: " + LatencyVerdict(s) + "\n";
    return text;
}

QByteArray LatencyJson(const LatencySummary& s)
{
    QJsonArray histogram;
    for (std::size_t bucket = 0; bucket < s.histogram.size(); ++bucket)
        histogram.append(
            QJsonObject{{"upToMs", bucket < LatenessBoundsNs.size()
                                       ? QJsonValue(double(LatenessBoundsNs[bucket]) / 1e6)
                                       : QJsonValue()},
                        {"ticks", qint64(s.histogram[bucket])}});
    const auto ms = [](std::int64_t ns) { return double(ns) / 1e6; };
    return QJsonDocument(QJsonObject{
                             {"seconds", s.seconds},
                             {"scheduling", QString::fromStdString(s.scheduling)},
                             {"ticks", qint64(s.ticks)},
                             {"delivered", qint64(s.delivered)},
                             {"missed", qint64(s.missed)},
                             {"latenessMs", QJsonObject{{"min", ms(s.min)},
                                                        {"p50", ms(s.p50)},
                                                        {"p99", ms(s.p99)},
                                                        {"p99.9", ms(s.p999)},
                                                        {"max", ms(s.max)}}},
                             {"within0.1ms", s.within100us},
                             {"within0.5ms", s.within500us},
                             {"histogram", histogram},
                             {"keeps1kHz", s.Keeps()},
                             {"verdict", QString::fromStdString(LatencyVerdict(s))},
                         })
        .toJson(QJsonDocument::Indented);
}

int RunLatencyTest(int seconds, bool json)
{
    auto clock = MakeSteppingClock();
    if (!clock)
        return ReportFatal(NoClockFailure(), nullptr);
    LatencyTest test(std::move(clock), seconds);
    // A quit signal ends the run early, with the report so far: taken here, not by default.
    sigset_t quit;
    sigemptyset(&quit);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&quit, signal);
    pthread_sigmask(SIG_BLOCK, &quit, nullptr); // before the thread starts, which inherits it
    RealtimeKit realtimeKit;
    Report(test.Start(&realtimeKit));
    // A bar that redraws itself on a terminal; a line a second for a log.
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    FlushReports();
    int shown = 0;
    const auto start = std::chrono::steady_clock::now();
    while (test.Running()) {
        const timespec tenth{0, 100'000'000};
        if (const int signal = ::sigtimedwait(&quit, nullptr, &tenth); signal > 0) {
            Report(std::string("latency test: ") + ::strsignal(signal) +
                   ": stopped, the report so far follows");
            test.Stop();
        }
        const int done = int(std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
        if (done == shown || done > seconds)
            continue;
        shown = done;
        const std::string worst = "worst so far " + Ms(test.WorstSoFar());
        if (terminal)
            std::fprintf(stderr, "\r[%-20s] %d of %d s, %s",
                         std::string(std::size_t(done * 20 / seconds), '#').c_str(), done, seconds,
                         worst.c_str());
        else
            Report("latency test: " + std::to_string(done) + " of " + std::to_string(seconds) +
                   " s, " + worst);
    }
    if (terminal)
        std::fputs("\n", stderr);
    const LatencySummary summary = test.Finish();
    FlushReports();
    const std::string report = json ? LatencyJson(summary).toStdString() : LatencyText(summary);
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        Report("cannot write the report to standard output");
        return ToInt(ExitStatus::StartUp);
    }
    return ToInt(ExitStatus::Normal);
}
