// SPDX-License-Identifier: MIT
// The program's switches, read before any window exists so --help and a bad argument work
// without a display.
#pragma once

#include "command/commandlistener.h"
#include "motor/speedprofile.h"
#include "motor/stepgeometry.h"
#include "mqtt/mqttcommandline.h"
#include "output/outputrequest.h"
#include "web/webcommandline.h"

#include <QString>
#include <QStringList>
#include <optional>

// The home switch as the command line names it, and how homing uses it.
struct HomeRequest {
    enum class Source { None, Gpio, Pin, Simulated };
    Source source = Source::None;
    std::string chip, line;      // Gpio: as --gpio names them
    int pin = 0;                 // Pin: a status pin of the parallel port
    double simulatedDegrees = 0; // Simulated: where the switch closes
    std::int64_t slipEvery = 0;  // the simulated shaft misses one step in this many
    bool activeHigh = false;     // closed reads high (else a switch to ground)
    bool atStart = false;        // home before the first move
    double degrees = 0;          // the dial's angle where the switch closes
    int direction = 1;           // up (+1) or down (-1)
};

struct CommandLine {
    enum class Action { Run, ShowHelp, ShowVersion, ListPorts, RemoveDiscovery, LatencyTest };
    Action action = Action::Run;
    OutputRequest output;
    ListenerOptions listener;
    bool headless = false;          // no window: the core alone, under a QCoreApplication
    WebOptions web;                 // the web page: where, read-only
    QString stateFile;              // where the position is kept; empty: nowhere
    std::optional<double> position; // degrees: where the motor stands at start
    SpeedProfile speed;
    StepGeometry geometry;
    HomeRequest home;
    int latencySeconds = 10; // --latency-test: how long
    bool json = false;       // its report as one JSON object
    MqttOptions mqtt;        // the broker; none unless --mqtt
    MqttCredentials mqttCredentials;
    Outcome failure; // a bad command line: the program ends with it
    QString help;
    QString note; // for standard error: what an action ignores
};

CommandLine ReadCommandLine(const QStringList& arguments);
