// SPDX-License-Identifier: MIT
// Where the broker is and how the dial is named on it: read from the command line, checked
// before anything connects, so a typo is a usage error and not a dial under a wrong topic.
#pragma once

#include "base/failure.h"

#include <QByteArray>
#include <QString>

struct MqttOptions {
    enum class Discovery { On, Off, Remove };

    QString host; // empty: no broker
    quint16 port = 0;
    bool tls = false;
    QString name;                    // this dial's topic level and Home Assistant node id
    QString prefix = "stepper-dial"; // topics are <prefix>/<name>/...
    QString credentialsFile;         // user on the first line, password on the second
    QString caFile;                  // empty: the system's CA store
    Discovery discovery = Discovery::On;

    bool Enabled() const { return !host.isEmpty(); }
    // "<prefix>/<name>/<leaf>"
    QByteArray Topic(const char* leaf) const;
    // This dial's client id on the broker: its topics' root, unique exactly when the topics
    // are. A helper of the same dial adds a suffix of its own (a second client under one id
    // pushes the first off).
    QByteArray ClientId() const { return (prefix + '/' + name).toUtf8(); }
    // "host:port", IPv6 bracketed: how lines name the broker.
    QString BrokerText() const;
};

// "mqtt://host[:port]" (1883) or "mqtts://host[:port]" (8883); a usage failure otherwise.
Outcome ReadMqttUrl(const QString& url, MqttOptions& options);
// A name made of letters, digits, "-" and "_" (a topic level and a Home Assistant node id).
bool IsTopicSafeName(const QString& name);
// A host name lowered and reduced to a topic-safe name ("Lab PC.local" -> "lab_pc_local").
QString TopicSafeName(const QString& hostName);
// Topic levels without wildcards, empty levels or a leading "$".
bool IsTopicPrefix(const QString& prefix);
