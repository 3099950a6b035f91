// SPDX-License-Identifier: MIT
// --latency-test: runs the stepping clock for a while with nothing written, shows progress on
// standard error, and prints the report (or its JSON) on standard output.
#pragma once

#include "motor/latencytest.h"

#include <QByteArray>
#include <string>

std::string LatencyText(const LatencySummary& summary);
QByteArray LatencyJson(const LatencySummary& summary);
// The verdict, one line: whether the machine keeps 1 kHz, and by how much.
std::string LatencyVerdict(const LatencySummary& summary);
// The program's status: normal, or no stepping clock.
int RunLatencyTest(int seconds, bool json);
