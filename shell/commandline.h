// The program's few switches, read before any window exists so --help and a bad argument
// work without a display.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLine {
    enum class Action { Run, ShowHelp, ShowVersion, UsageError };
    Action action = Action::Run;
    bool simulate = false;
    QString text; // help, version or the usage error
};

CommandLine ReadCommandLine(const QStringList& arguments);
