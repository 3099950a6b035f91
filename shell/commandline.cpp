#include "commandline.h"

#include <QCommandLineParser>

namespace {

// A literal address, IPv4 or IPv6, nothing to look up.
bool ReadAddress(const QString& text, QHostAddress& address)
{
    return address.setAddress(text) && !text.contains('/');
}

bool ReadNetwork(const QString& text, QPair<QHostAddress, int>& network)
{
    network = QHostAddress::parseSubnet(text);
    return network.second >= 0;
}

} // namespace

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
    const QCommandLineOption listen(
        "listen",
        "Listen for clients only on ADDRESS (an IPv4 or IPv6 literal, such as 127.0.0.1); "
        "repeatable. Default: every interface.",
        "ADDRESS");
    const QCommandLineOption allow(
        "allow",
        "Serve only clients from NETWORK (CIDR, such as 192.168.1.0/24 or ::1/128); "
        "repeatable. Others are closed at once. Default: any client.",
        "NETWORK");
    for (const auto& option : {help, version, simulate, listen, allow})
        parser.addOption(option);

    CommandLine result;
    auto fail = [&result](const QString& text) {
        result.action = CommandLine::Action::UsageError;
        result.text = text;
        return result;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail("Unexpected argument '" + parser.positionalArguments().first() + "'.");
    for (const QString& text : parser.values(listen)) {
        QHostAddress address;
        if (!ReadAddress(text, address))
            return fail("--listen: '" + text + "' is not an IPv4 or IPv6 address.");
        result.listener.addresses.append(address);
    }
    for (const QString& text : parser.values(allow)) {
        QPair<QHostAddress, int> network;
        if (!ReadNetwork(text, network))
            return fail("--allow: '" + text + "' is not a network (such as 192.168.1.0/24).");
        result.listener.allowed.append(network);
    }
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::ShowHelp;
        result.text = parser.helpText();
    } else if (parser.isSet(version)) {
        result.action = CommandLine::Action::ShowVersion;
    }
    result.simulate = parser.isSet(simulate);
    return result;
}
