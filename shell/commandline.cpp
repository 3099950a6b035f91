// SPDX-License-Identifier: MIT
#include "commandline.h"

#include "base/exitstatus.h"
#include "base/programinfo.h"
#include "base/wholenumber.h"
#include "core/dialcore.h"
#include "output/coilport.h"

#include <QCommandLineParser>
#include <QLocale>

namespace {

// One of this program's own listeners, as the command line names it.
struct OwnListener {
    QString name;
    QHostAddress address; // null: every interface
    quint16 port;
};

bool Meet(const QHostAddress& a, const QHostAddress& b)
{
    const auto every = [](const QHostAddress& x) {
        return x.isNull() || x == QHostAddress::AnyIPv4 || x == QHostAddress::AnyIPv6 ||
               x == QHostAddress::Any;
    };
    return every(a) || every(b) || a == b;
}

// Two of its own listeners on one port where their addresses meet: the second would find the
// first's socket and blame another program.
Outcome OwnListenersApart(const CommandLine& line)
{
    std::vector<OwnListener> all;
    for (const QHostAddress& at : line.listener.addresses)
        all.push_back(
            {"port " + QString::number(CommandPort) + " on " + at.toString(), at, CommandPort});
    if (line.listener.addresses.isEmpty())
        all.push_back({"port " + QString::number(CommandPort), QHostAddress(), CommandPort});
    for (const auto& [option, addresses] : {std::pair{"--web ", &line.web.addresses},
                                            std::pair{"--metrics ", &line.web.metricsAddresses}})
        for (const WebAddress& at : *addresses)
            all.push_back({option + at.address.toString() + ':' + QString::number(at.port),
                           at.address, at.port});
    for (std::size_t k = 0; k < all.size(); ++k)
        for (std::size_t j = 0; j < k; ++j)
            if (all[j].port == all[k].port && Meet(all[j].address, all[k].address))
                return UsageFailure(all[j].name + " and " + all[k].name +
                                    " would both listen on port " + QString::number(all[k].port) +
                                    ": give each its own port.");
    return {};
}

Outcome ReadHomeSwitch(bool given, const QString& text, bool simulated,
                       const StepGeometry& geometry, HomeRequest& home)
{
    if (!given)
        return {};
    const auto bad = [&text](const QString& why) {
        return UsageFailure("--home-switch: '" + text + "' " + why);
    };
    if (text.startsWith("simulated:")) {
        if (!simulated)
            return bad("is a simulated switch: give --simulate too.");
        bool number = false;
        home.simulatedDegrees = QLocale::c().toDouble(text.mid(10).trimmed(), &number);
        if (!number || !DialCore::InReach(home.simulatedDegrees, geometry))
            return bad("names no angle within reach (such as simulated:100).");
        home.source = HomeRequest::Source::Simulated;
        return {};
    }
    if (simulated)
        return bad("is a real switch; with --simulate give simulated:DEG.");
    if (text.startsWith("pin:")) {
        if (!ReadWholeNumber(text.mid(4).toStdString(), home.pin) ||
            (!(home.pin >= 10 && home.pin <= 13) && home.pin != 15))
            return bad("names no status pin: pin:10, pin:11, pin:12, pin:13 or pin:15.");
        home.source = HomeRequest::Source::Pin;
        return {};
    }
    const qsizetype colon = text.lastIndexOf(':');
    if (colon <= 0 || colon == text.size() - 1)
        return bad("is neither CHIP:LINE (such as gpiochip0:23), pin:N nor simulated:DEG.");
    home.chip = text.left(colon).toStdString();
    home.line = text.mid(colon + 1).toStdString();
    home.source = HomeRequest::Source::Gpio;
    return {};
}

} // namespace

CommandLine ReadCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    QString description =
        QString("Turns a four-phase stepper motor to the angle a TCP client sends to port %1. "
                "Without --port or --gpio it drives the parallel port at %2 (ppdev, then raw "
                "I/O), else a simulated port. Exit status:")
            .arg(CommandPort)
            .arg(QString::fromStdString(DataPortText()));
    for (const ExitStatusMeaning& exit : ExitStatusMeanings)
        description +=
            QString(" %1 %2;")
                .arg(ToInt(exit.status))
                .arg(QString::fromUtf8(exit.meaning.data(), qsizetype(exit.meaning.size())));
    description.back() = '.';
    parser.setApplicationDescription(description);
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
    const QCommandLineOption maxRate(
        "max-rate",
        "The motor's top speed, 1 to 1000 steps a second. Default: 1000, a step every tick.", "N");
    const QCommandLineOption startRate(
        "start-rate",
        "The speed a move starts, ends and turns at, 1 to --max-rate steps a second; below "
        "--max-rate, moves speed up and brake at --accel. Default: --max-rate.",
        "N");
    const QCommandLineOption accel(
        "accel", "Speeding up and braking, 1 to 1000000 steps a second per second.", "N");
    const QCommandLineOption stepsPerTurn(
        "steps-per-turn",
        "Full steps that turn the shaft the dial shows once, 4 to 1000000, decimals allowed "
        "(2037.8864 for a geared 28BYJ-48). Default: 48, 7.5 degrees a step.",
        "N");
    const QCommandLineOption halfStep(
        "half-step", "Drive half steps (one coil, then two, in turn): twice the steps a turn.");
    const QCommandLineOption reverse(
        "reverse", "Run the coil sequence the other way, for a motor that turns backwards.");
    const QCommandLineOption homeSwitch(
        "home-switch",
        "A switch that closes at one place of the dial's turn, for homing and for checking "
        "the count at every pass: a GPIO input line (CHIP:LINE, named as --gpio names them), "
        "a status pin of the parallel port (pin:10, 11, 12, 13 or 15) or, with --simulate, "
        "simulated:DEG (closed within half a step of DEG degrees from the start).",
        "SOURCE");
    const QCommandLineOption homeActive(
        "home-active",
        "low (the default: a switch to ground, with the pull-up) or high: the level that "
        "means closed.",
        "LEVEL");
    const QCommandLineOption home("home", "Home on the switch before the first move.");
    const QCommandLineOption homeAngle(
        "home-angle", "The dial's angle where the switch closes. Default: 0.", "DEG");
    const QCommandLineOption homeDirection(
        "home-direction", "up (the default) or down: the way homing turns toward the switch.",
        "WAY");
    const QCommandLineOption simulateSlip(
        "simulate-slip",
        "With --simulate: the simulated shaft misses one step in every N (2 to 1000000) it is "
        "sent, so losing steps can be seen without hardware.",
        "N");
    const QCommandLineOption latencyTest(
        "latency-test",
        "Check whether this machine keeps the 1 ms stepping clock: run it for SECONDS (the "
        "argument after it; default 10) as a move would, writing nothing, then print a report "
        "and exit.");
    const QCommandLineOption json("json", "With --latency-test: print the report as JSON.");
    for (const auto& option :
         {help,          version,      simulate,    port,       gpio,       listPorts, listen,
          allow,         headless,     state,       position,   maxRate,    startRate, accel,
          stepsPerTurn,  halfStep,     reverse,     homeSwitch, homeActive, home,      homeAngle,
          homeDirection, simulateSlip, latencyTest, json})
        parser.addOption(option);
    const WebCommandLine webOptions(parser);
    const MqttCommandLine mqttOptions(parser);

    CommandLine result;
    auto fail = [&result](Failure failure) {
        failure.line += " See stepper-dial --help.";
        result.failure = std::move(failure);
        return result;
    };
    if (!parser.parse(arguments))
        return fail(UsageFailure(parser.errorText()));
    QStringList positional = parser.positionalArguments();
    if (parser.isSet(latencyTest) && !positional.isEmpty()) {
        const QString seconds = positional.takeFirst();
        if (!ReadWholeNumber(seconds.toStdString(), result.latencySeconds) ||
            result.latencySeconds < 1 || result.latencySeconds > 3600)
            return fail(UsageFailure("--latency-test: '" + seconds +
                                     "' is not a whole number of seconds from 1 to 3600."));
    }
    if (parser.isSet(json) && !parser.isSet(latencyTest))
        return fail(UsageFailure("--json: give --latency-test too."));
    result.json = parser.isSet(json);
    if (!positional.isEmpty())
        return fail(UsageFailure("Unexpected argument '" + positional.first() + "'."));
    for (const QString& text : parser.values(listen)) {
        QHostAddress address;
        if (!ReadAddress(text, address))
            return fail(UsageFailure("--listen: '" + text + "' is not an IPv4 or IPv6 address."));
        if (result.listener.addresses.contains(address))
            return fail(UsageFailure("--listen: " + address.toString() + " is given twice."));
        result.listener.addresses.append(address);
    }
    for (const QString& text : parser.values(allow)) {
        QPair<QHostAddress, int> network;
        if (Outcome failed = ReadNetwork(text, network))
            return fail(*failed);
        result.listener.allowed.append(network);
    }
    if (Outcome failed = webOptions.Read(parser, result.listener.allowed, result.web))
        return fail(*failed);
    if (Outcome failed = OwnListenersApart(result))
        return fail(*failed);
    const int outputs =
        int(parser.isSet(simulate)) + int(parser.isSet(port)) + int(parser.isSet(gpio));
    if (outputs > 1 || parser.values(port).size() > 1 || parser.values(gpio).size() > 1)
        return fail(UsageFailure("Name one output: --simulate, --port or --gpio, once."));
    result.headless = parser.isSet(headless);
    if (parser.values(state).size() > 1 || parser.values(position).size() > 1)
        return fail(UsageFailure("Give --state and --position once each."));
    result.stateFile = parser.value(state);
    if (parser.isSet(state) && result.stateFile.isEmpty())
        return fail(UsageFailure("--state: name a file, such as /var/lib/stepper-dial/position."));
    if (parser.values(stepsPerTurn).size() > 1)
        return fail(UsageFailure("Give --steps-per-turn once."));
    if (Outcome failed = ReadStepGeometry(
            parser.isSet(stepsPerTurn)
                ? std::optional<std::string>(parser.value(stepsPerTurn).toStdString())
                : std::nullopt,
            parser.isSet(halfStep), parser.isSet(reverse), result.geometry))
        return fail(*failed);
    if (parser.isSet(position)) {
        // Strict, unlike a client's text: a typo here would silently move the dial's zero.
        bool number = false;
        const double degrees = QLocale::c().toDouble(parser.value(position).trimmed(), &number);
        if (!number || !DialCore::InReach(degrees, result.geometry))
            return fail(
                UsageFailure("--position: '" + parser.value(position) +
                             "' is not a number of degrees within reach (such as 0 or -45.5)."));
        result.position = degrees;
    }
    for (const auto* option : {&homeSwitch, &homeActive, &homeAngle, &homeDirection, &simulateSlip})
        if (parser.values(*option).size() > 1)
            return fail(UsageFailure("Give --" + option->names().constFirst() + " once."));
    if (Outcome failed = ReadHomeSwitch(parser.isSet(homeSwitch), parser.value(homeSwitch),
                                        parser.isSet(simulate), result.geometry, result.home))
        return fail(*failed);
    for (const auto* option : {&homeActive, &home, &homeAngle, &homeDirection})
        if (parser.isSet(*option) && !parser.isSet(homeSwitch))
            return fail(
                UsageFailure("--" + option->names().constFirst() + ": give --home-switch too."));
    result.home.atStart = parser.isSet(home);
    if (parser.isSet(homeActive)) {
        const QString level = parser.value(homeActive);
        if (level != "low" && level != "high")
            return fail(UsageFailure("--home-active: '" + level + "' is neither low nor high."));
        result.home.activeHigh = level == "high";
    }
    if (parser.isSet(homeDirection)) {
        const QString way = parser.value(homeDirection);
        if (way != "up" && way != "down")
            return fail(UsageFailure("--home-direction: '" + way + "' is neither up nor down."));
        result.home.direction = way == "up" ? 1 : -1;
    }
    if (parser.isSet(homeAngle)) {
        bool number = false;
        result.home.degrees = QLocale::c().toDouble(parser.value(homeAngle).trimmed(), &number);
        if (!number || !DialCore::InReach(result.home.degrees, result.geometry))
            return fail(
                UsageFailure("--home-angle: '" + parser.value(homeAngle) +
                             "' is not a number of degrees within reach (such as 0 or 45)."));
    }
    if (parser.isSet(simulateSlip)) {
        if (!parser.isSet(simulate))
            return fail(UsageFailure("--simulate-slip: give --simulate too."));
        const QString every = parser.value(simulateSlip);
        if (!ReadWholeNumber(every.toStdString(), result.home.slipEvery) ||
            result.home.slipEvery < 2 || result.home.slipEvery > 1'000'000)
            return fail(UsageFailure("--simulate-slip: '" + every +
                                     "' is not a whole number of steps from 2 to 1000000."));
    }
    SpeedOptions speed;
    for (const auto& [option, text] :
         {std::pair{&maxRate, &speed.maxRate}, std::pair{&startRate, &speed.startRate},
          std::pair{&accel, &speed.accel}}) {
        if (parser.values(*option).size() > 1)
            return fail(UsageFailure("Give --" + option->names().constFirst() + " once."));
        if (parser.isSet(*option))
            *text = parser.value(*option).toStdString();
    }
    if (Outcome failed = ReadSpeedProfile(speed, result.speed))
        return fail(*failed);
    if (Outcome failed = mqttOptions.Read(parser, result.mqtt, result.mqttCredentials))
        return fail(*failed);
    Outcome output;
    if (parser.isSet(simulate))
        result.output.kind = OutputRequest::Kind::Simulate;
    else if (parser.isSet(port))
        output = ReadPortOption(parser.value(port).toStdString(), result.output);
    else if (parser.isSet(gpio))
        output = ReadGpioOption(parser.value(gpio).toStdString(), result.output);
    if (output)
        return fail(*output);
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::ShowHelp;
        // Without an application object Qt cannot know the program's name.
        result.help = parser.helpText().replace(
            "<executable_name>", QString::fromUtf8(ProgramName.data(), ProgramName.size()));
    } else if (parser.isSet(version)) {
        result.action = CommandLine::Action::ShowVersion;
    } else if (parser.isSet(latencyTest)) {
        result.action = CommandLine::Action::LatencyTest;
        QStringList ignored;
        for (const auto& option :
             {simulate, port,       gpio,       listPorts, listen,    allow,         headless,
              state,    position,   maxRate,    startRate, accel,     stepsPerTurn,  halfStep,
              reverse,  homeSwitch, homeActive, home,      homeAngle, homeDirection, simulateSlip})
            if (parser.isSet(option))
                ignored << "--" + option.names().constFirst();
        ignored << webOptions.Given(parser) << mqttOptions.Given(parser);
        if (!ignored.isEmpty())
            result.note = "--latency-test runs the stepping clock alone, writing nothing; it "
                          "ignores " +
                          ignored.join(", ") + ".";
    } else if (result.mqtt.discovery == MqttOptions::Discovery::Remove) {
        result.action = CommandLine::Action::RemoveDiscovery;
    } else if (parser.isSet(listPorts)) {
        result.action = CommandLine::Action::ListPorts;
        QStringList ignored;
        // With a home switch, its level is read through the output a run would use.
        for (const auto& option :
             {simulate, port, gpio, listen, allow, headless, state, position, maxRate, startRate,
              accel, stepsPerTurn, halfStep, reverse, home, homeAngle, homeDirection, simulateSlip})
            if (parser.isSet(option) &&
                !(parser.isSet(homeSwitch) &&
                  (option.names() == port.names() || option.names() == gpio.names() ||
                   option.names() == simulate.names())))
                ignored << "--" + option.names().constFirst();
        ignored << webOptions.Given(parser) << mqttOptions.Given(parser);
        if (!ignored.isEmpty())
            result.note =
                "--list-ports looks at this machine only; it ignores " + ignored.join(", ") + ".";
    }
    return result;
}
