// SPDX-License-Identifier: MIT
#include "commandline.h"

#include "base/exitstatus.h"
#include "base/programinfo.h"
#include "core/dialcore.h"
#include "output/coilport.h"

#include <QCommandLineParser>
#include <QLocale>
#include <QSysInfo>

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
        QString("Turns a four-phase stepper motor to the angle a TCP client sends to port %1. "
                "Without --port or --gpio it drives the parallel port at %2 (ppdev, then raw "
                "I/O), else a simulated port. Exit status: %3 normal; %4 port %1 or a --web port "
                "unavailable, the position file kept by another program, or standard output "
                "unwritable; %5 bad command line (an option, a --state that is not a regular file, "
                "an MQTT setting); %6 the output unavailable (named, or the default port held) or "
                "the MQTT broker refusing the credentials; %7 no stepping clock (timerfd) in this "
                "kernel.")
            .arg(CommandPort)
            .arg(QString::fromStdString(DataPortText()))
            .arg(ToInt(ExitStatus::Normal))
            .arg(ToInt(ExitStatus::StartUp))
            .arg(ToInt(ExitStatus::Usage))
            .arg(ToInt(ExitStatus::Hardware))
            .arg(ToInt(ExitStatus::Clock)));
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Show the version and exit.");
    const QCommandLineOption simulate(
        "simulate", "Drive no hardware: print every port write on standard output.");
    const QCommandLineOption port(
        "port",
        "Drive this parallel port and no other: a number 0-15 (/dev/parportN), a hex base "
        "address (0xd010) or a device (/dev/parport1).",
        "PORT");
    const QCommandLineOption gpio(
        "gpio",
        "Drive four GPIO lines: the chip (name, path, label or number), then the lines for "
        "coil bits 1, 2, 4, 8 by offset or name, such as gpiochip0:17,18,27,22.",
        "CHIP:L0,L1,L2,L3");
    const QCommandLineOption listPorts(
        "list-ports", "List the parallel ports and GPIO chips here, and what a plain start "
                      "would use, then exit.");
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
    const QCommandLineOption headless(
        "headless", "Show no window and load no GUI library: the motor is commanded over TCP "
                    "only (for a service).");
    const QCommandLineOption state(
        "state",
        "Keep the motor's position in FILE, so a restart (even after a crash or a power cut) "
        "knows where it stands; written at rest, at exit and as a move starts.",
        "FILE");
    const QCommandLineOption position(
        "position",
        "The motor stands at DEG degrees now (the needle's real place): nothing moves, and a "
        "doubt about the position ends.",
        "DEG");
    const QCommandLineOption web(
        "web",
        "Serve a live page of the dial, with its angle field, at ADDRESS:PORT (such as "
        "127.0.0.1:3080 or [::1]:3080); repeatable. Clients as --allow says.",
        "ADDRESS:PORT");
    const QCommandLineOption webReadOnly("web-read-only",
                                         "The web page shows the dial but cannot turn it.");
    const QCommandLineOption mqtt(
        "mqtt",
        "Join the MQTT broker at URL (mqtt://HOST[:PORT], or mqtts://HOST[:PORT] for TLS): "
        "commands on PREFIX/NAME/angle/set, the dial's state on PREFIX/NAME/..., and Home "
        "Assistant discovery.",
        "URL");
    const QCommandLineOption mqttName(
        "mqtt-name",
        "This dial's name on the broker (letters, digits, - and _). Default: the "
        "host name, reduced to those.",
        "NAME");
    const QCommandLineOption mqttPrefix(
        "mqtt-prefix", "The first topic levels, before the name. Default: stepper-dial.", "PREFIX");
    const QCommandLineOption mqttCredentials(
        "mqtt-credentials",
        "Log in to the broker with the user on FILE's first line and the password on its "
        "second; FILE must not be readable by every user.",
        "FILE");
    const QCommandLineOption mqttCa(
        "mqtt-ca",
        "Trust the broker's TLS certificate if signed by the CAs in FILE (PEM). "
        "Default: the system's CA store.",
        "FILE");
    const QCommandLineOption mqttDiscovery(
        "mqtt-discovery",
        "on: announce the dial to Home Assistant (the default); off: do not; remove: clear "
        "the announcement from the broker and exit.",
        "on|off|remove");
    const auto mqttOptions = {mqttName, mqttPrefix, mqttCredentials, mqttCa, mqttDiscovery};
    for (const auto& option : {help, version, simulate, port, gpio, listPorts, listen, allow,
                               headless, state, position, web, webReadOnly, mqtt})
        parser.addOption(option);
    for (const auto& option : mqttOptions)
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
        if (result.listener.addresses.contains(address))
            return fail("--listen: " + address.toString() + " is given twice.");
        result.listener.addresses.append(address);
    }
    for (const QString& text : parser.values(allow)) {
        QPair<QHostAddress, int> network;
        if (!ReadNetwork(text, network))
            return fail("--allow: '" + text + "' is not a network (such as 192.168.1.0/24).");
        if (CommandListener::Unmapped(network.first) != network.first && network.second < 96)
            return fail("--allow: '" + text +
                        "' reaches beyond the IPv4-mapped addresses; "
                        "give the IPv4 network instead (such as 127.0.0.0/8).");
        result.listener.allowed.append(network);
    }
    for (const QString& text : parser.values(web)) {
        // "127.0.0.1:3080" or "[::1]:3080": the port after the last colon.
        const qsizetype colon = text.lastIndexOf(':');
        QString host = text.left(colon);
        if (host.startsWith('[') && host.endsWith(']'))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(':'))
            host.clear(); // an IPv6 address must be bracketed
        bool number = false;
        const uint port = text.mid(colon + 1).toUInt(&number);
        WebAddress at{QHostAddress(), quint16(port)};
        if (colon < 0 || !ReadAddress(host, at.address) || !number || port == 0 || port > 65535)
            return fail("--web: '" + text + "' is not ADDRESS:PORT (such as 127.0.0.1:3080).");
        result.web.addresses.append(at);
    }
    if (parser.isSet(webReadOnly) && !parser.isSet(web))
        return fail("--web-read-only: give --web too.");
    result.web.readOnly = parser.isSet(webReadOnly);
    result.web.allowed = result.listener.allowed;
    const int outputs =
        int(parser.isSet(simulate)) + int(parser.isSet(port)) + int(parser.isSet(gpio));
    if (outputs > 1 || parser.values(port).size() > 1 || parser.values(gpio).size() > 1)
        return fail("Name one output: --simulate, --port or --gpio, once.");
    result.headless = parser.isSet(headless);
    if (parser.values(state).size() > 1 || parser.values(position).size() > 1)
        return fail("Give --state and --position once each.");
    result.stateFile = parser.value(state);
    if (parser.isSet(state) && result.stateFile.isEmpty())
        return fail("--state: name a file, such as /var/lib/stepper-dial/position.");
    if (parser.isSet(position)) {
        // Strict, unlike a client's text: a typo here would silently move the dial's zero.
        bool number = false;
        const double degrees = QLocale::c().toDouble(parser.value(position).trimmed(), &number);
        if (!number || !DialCore::InReach(degrees))
            return fail("--position: '" + parser.value(position) +
                        "' is not a number of degrees within reach (such as 0 or -45.5).");
        result.position = degrees;
    }
    for (const auto& option : mqttOptions) {
        if (parser.values(option).size() > 1)
            return fail("Give --" + option.names().constFirst() + " once.");
        if (parser.isSet(option) && !parser.isSet(mqtt))
            return fail("--" + option.names().constFirst() + ": give --mqtt too.");
    }
    if (parser.values(mqtt).size() > 1)
        return fail("Give --mqtt once: one broker.");
    if (parser.isSet(mqtt)) {
        MqttOptions& broker = result.mqtt;
        QString why;
        if (!ReadMqttUrl(parser.value(mqtt), broker, why))
            return fail(why);
        broker.name = parser.isSet(mqttName) ? parser.value(mqttName)
                                             : TopicSafeName(QSysInfo::machineHostName());
        if (!IsTopicSafeName(broker.name))
            return fail("--mqtt-name: '" + broker.name +
                        "' is not 1 to 64 letters, digits, - and _ (such as dial_7).");
        if (parser.isSet(mqttPrefix))
            broker.prefix = parser.value(mqttPrefix);
        if (!IsTopicPrefix(broker.prefix))
            return fail("--mqtt-prefix: '" + broker.prefix +
                        "' is not a topic without + or #, empty levels or a leading $ (such as "
                        "lab/dials).");
        broker.caFile = parser.value(mqttCa);
        if (parser.isSet(mqttCa) && !broker.tls)
            return fail("--mqtt-ca: the broker's URL is mqtt://, without TLS; give mqtts://.");
        const QString discovery = parser.value(mqttDiscovery);
        if (discovery == "off")
            broker.discovery = MqttOptions::Discovery::Off;
        else if (discovery == "remove")
            broker.discovery = MqttOptions::Discovery::Remove;
        else if (parser.isSet(mqttDiscovery) && discovery != "on")
            return fail("--mqtt-discovery: '" + discovery + "' is not on, off or remove.");
        broker.credentialsFile = parser.value(mqttCredentials);
        if (parser.isSet(mqttCredentials) &&
            !ReadCredentials(broker.credentialsFile, result.mqttCredentials, why))
            return fail(why);
    }
    std::string why;
    if (parser.isSet(simulate))
        result.output.kind = OutputRequest::Kind::Simulate;
    else if (parser.isSet(port) &&
             !ReadPortOption(parser.value(port).toStdString(), result.output, why))
        return fail(QString::fromStdString(why));
    else if (parser.isSet(gpio) &&
             !ReadGpioOption(parser.value(gpio).toStdString(), result.output, why))
        return fail(QString::fromStdString(why));
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::ShowHelp;
        // Without an application object Qt cannot know the program's name.
        result.text = parser.helpText().replace(
            "<executable_name>", QString::fromUtf8(ProgramName.data(), ProgramName.size()));
    } else if (parser.isSet(version)) {
        result.action = CommandLine::Action::ShowVersion;
    } else if (result.mqtt.discovery == MqttOptions::Discovery::Remove) {
        result.action = CommandLine::Action::RemoveDiscovery;
    } else if (parser.isSet(listPorts)) {
        result.action = CommandLine::Action::ListPorts;
        QStringList ignored;
        for (const auto& option : {simulate, port, gpio, listen, allow, headless, state, position,
                                   web, webReadOnly, mqtt})
            if (parser.isSet(option))
                ignored << "--" + option.names().constFirst();
        if (!ignored.isEmpty())
            result.note =
                "--list-ports looks at this machine only; it ignores " + ignored.join(", ") + ".";
    }
    return result;
}
