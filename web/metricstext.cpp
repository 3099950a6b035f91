// SPDX-License-Identifier: MIT
#include "metricstext.h"

#include "base/programinfo.h"

#include <QtGlobal>

namespace {

class Writer {
public:
    void Metric(const char* name, const char* type, const char* help)
    {
        name_ = QByteArray("stepper_dial_") + name;
        text_ += "# HELP " + name_ + ' ' + help + "\n# TYPE " + name_ + ' ' + type + '\n';
    }
    void Value(const QByteArray& number, const QByteArray& suffix = {},
               const QByteArray& labels = {})
    {
        text_ += name_ + suffix + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' ' +
                 number + '\n';
    }
    QByteArray Text() const { return text_; }

private:
    QByteArray name_, text_;
};

QByteArray Count(std::uint64_t value)
{
    return QByteArray::number(qulonglong(value));
}

QByteArray Seconds(std::int64_t ns)
{
    return QByteArray::number(double(ns) / 1e9, 'g', 9);
}

} // namespace

QByteArray MetricsText(const DialState& state, const TimingCounts& timing,
                       const MetricsLinks& links)
{
    Writer out;
    out.Metric("ticks_total", "counter", "Ticks of the 1 ms stepping clock since start-up.");
    out.Value(Count(timing.ticks));
    out.Metric("steps_total", "counter", "Steps the motor made since start-up.");
    out.Value(Count(timing.steps));
    out.Metric("late_ticks_total", "counter", "Ticks that came more than 0.5 ms after their time.");
    out.Value(Count(timing.lateTicks));
    out.Metric("tick_lateness_seconds", "histogram", "How long after its time each tick came.");
    // Counted from the buckets alone, so the histogram agrees with itself whatever a tick on
    // the stepping thread did meanwhile.
    std::uint64_t below = 0;
    for (std::size_t bucket = 0; bucket < LatenessBoundsNs.size(); ++bucket) {
        below += timing.lateness[bucket];
        out.Value(Count(below), "_bucket", "le=\"" + Seconds(LatenessBoundsNs[bucket]) + '"');
    }
    below += timing.lateness.back();
    out.Value(Count(below), "_bucket", "le=\"+Inf\"");
    out.Value(Seconds(timing.latenessSumNs), "_sum");
    out.Value(Count(below), "_count");
    out.Metric("tick_lateness_worst_seconds", "gauge", "The latest any tick came since start-up.");
    out.Value(Seconds(timing.worstLatenessNs));
    out.Metric("position_degrees", "gauge", "The motor's position.");
    out.Value(QByteArray::number(state.angle, 'g', 17));
    out.Metric("moving", "gauge", "1 while the motor moves.");
    out.Value(Count(state.moving));
    out.Metric("position_uncertain", "gauge",
               "1 while the motor may not stand where the position says.");
    out.Value(Count(state.uncertain));
    out.Metric("homing", "gauge", "1 while the motor seeks its home switch.");
    out.Value(Count(state.homing));
    out.Metric("home_corrections_total", "counter",
               "Times the count was set right at the home switch since start-up.");
    out.Value(Count(state.homeCorrections));
    out.Metric("home_error_steps", "gauge",
               "The last correction's error: the count minus the home switch's step.");
    out.Value(QByteArray::number(qlonglong(state.homeErrorSteps)));
    out.Metric("tcp_client_connected", "gauge", "1 while a client is connected to the TCP port.");
    out.Value(Count(state.OnLine()));
    out.Metric("web_pages", "gauge", "Web pages open now.");
    out.Value(Count(std::uint64_t(links.webPages)));
    out.Metric("mqtt_connected", "gauge", "1 while the MQTT broker is connected.");
    out.Value(Count(links.mqttConnected));
    out.Metric("build_info", "gauge", "The program's version, always 1.");
    out.Value("1", {}, QByteArray("version=\"") + ProgramVersion + "\",qt=\"" + qVersion() + '"');
    return out.Text();
}
