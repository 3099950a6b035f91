#include "commandline.h"

#include <QCommandLineParser>

CommandLine ReadCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Turns a four-phase stepper motor on the parallel port (0x378) to the angle a TCP "
        "client sends to port 3000.");
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
    const QCommandLineOption simulate(
        "simulate", "Drive no hardware: print every port write on standard output.");
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(simulate);

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.action = CommandLine::Action::UsageError;
        result.text = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        result.action = CommandLine::Action::UsageError;
        result.text = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
    } else if (parser.isSet(help)) {
        result.action = CommandLine::Action::ShowHelp;
        result.text = parser.helpText();
    } else if (parser.isSet(version)) {
        result.action = CommandLine::Action::ShowVersion;
    }
    result.simulate = parser.isSet(simulate);
    return result;
}
