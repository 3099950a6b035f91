// SPDX-License-Identifier: MIT
// The web page's options, --web, --web-read-only and --metrics: declared on the program's parser
// and read back from it here, so a new page setting touches this module only.
#pragma once

#include "base/failure.h"
#include "pageserver.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

class WebCommandLine {
public:
    explicit WebCommandLine(QCommandLineParser& parser);
    // The options given, pages admitted from `allowed` (the command port's --allow); a usage
    // failure when they cannot be used.
    Outcome Read(const QCommandLineParser& parser, const Networks& allowed,
                 WebOptions& options) const;
    // The options given, as "--web": for a note on what an action ignores.
    QStringList Given(const QCommandLineParser& parser) const;

private:
    QCommandLineOption web_;
    QCommandLineOption readOnly_;
    QCommandLineOption metrics_;
};
