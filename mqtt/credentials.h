// SPDX-License-Identifier: MIT
// The broker's user and password, from a file only: on a command line every user of the
// machine could read them with ps.
#pragma once

#include "base/failure.h"

#include <QByteArray>
#include <QString>

struct MqttCredentials {
    QByteArray user; // empty: none
    QByteArray password;
};

// The user on the first line, the password on the second (the whole line, blanks included).
// A usage failure when the file cannot be read, is readable or writable by every user of the
// machine, or names no user.
Outcome ReadCredentials(const QString& path, MqttCredentials& credentials);
