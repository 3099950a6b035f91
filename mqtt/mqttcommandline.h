// SPDX-License-Identifier: MIT
// The broker's options, --mqtt and --mqtt-*: declared on the program's parser and read back
// from it here, so a new MQTT setting touches this module only.
#pragma once

#include "credentials.h"
#include "mqttoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <vector>

class MqttCommandLine {
public:
    explicit MqttCommandLine(QCommandLineParser& parser);
    // The options given, the credentials file read; a usage failure when they cannot be used.
    Outcome Read(const QCommandLineParser& parser, MqttOptions& options,
                 MqttCredentials& credentials) const;
    // The options given, as "--mqtt": for a note on what an action ignores.
    QStringList Given(const QCommandLineParser& parser) const;

private:
    QCommandLineOption mqtt_, name_, prefix_, credentials_, ca_, discovery_;
};
