// SPDX-License-Identifier: MIT
// DialState: everything a view shows of the dial, as one value. Every view (the window, the
// page, MQTT, the service status) formats this and nothing else.
#pragma once

#include "angletext.h"
#include "motor/steppingtiming.h"

#include <QString>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct DialState {
    QString client;        // the TCP client's address; empty while none is connected
    QString requestedText; // the requested angle as typed or sent
    double target = 0.0;   // the degrees that text asks for, held within reach
    std::int64_t step = 0; // the position, in steps from zero
    double angle = 0.0;    // the same position in degrees
    bool moving = false;   // from a start until the motor is seen at rest
    bool uncertain = false;
    std::string doubt;   // where the rotor may stand while uncertain, such as "anywhere"
    bool homing = false; // seeking the home switch; commands wait for its end
    std::uint64_t homeCorrections = 0; // counts set right at the home switch since start-up
    std::int64_t homeErrorSteps = 0;   // the last one's error: the count minus the switch's step
    std::uint64_t lateTicks = 0;       // ticks more than 0.5 ms late since start-up
    // The intervals between the last move's steps, counted by IntervalBoundsNs.
    std::array<std::uint64_t, IntervalBoundsNs.size() + 1> stepIntervals{};

    bool operator==(const DialState&) const = default;

    bool OnLine() const { return !client.isEmpty(); }
    // The connection status as every view shows it.
    QString Status() const
    {
        return OnLine() ? QStringLiteral("On Line") : QStringLiteral("Off line");
    }
    // The current angle as the operator reads it, marked while the rotor may not be there.
    QString AngleText(std::string_view decimalSeparator = ".") const
    {
        return QString::fromStdString(FormatAngleText(angle, decimalSeparator)) +
               (uncertain ? QStringLiteral(" ?") : QString());
    }
    QString TargetText() const { return QString::fromStdString(FormatAngleText(target, ".")); }
};
