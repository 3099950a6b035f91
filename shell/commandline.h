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
    int latencySeconds = 10; // --latency-test: how long
    bool json = false;       // its report as one JSON object
    MqttOptions mqtt;        // the broker; none unless --mqtt
    MqttCredentials mqttCredentials;
    Outcome failure; // a bad command line: the program ends with it
    QString help;
    QString note; // for standard error: what an action ignores
};

CommandLine ReadCommandLine(const QStringList& arguments);
