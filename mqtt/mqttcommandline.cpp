// SPDX-License-Identifier: MIT
#include "mqttcommandline.h"

#include <QSysInfo>

MqttCommandLine::MqttCommandLine(QCommandLineParser& parser)
    : mqtt_("mqtt",
            "Join the MQTT broker at URL (mqtt://HOST[:PORT], or mqtts://HOST[:PORT] for TLS): "
            "commands on PREFIX/NAME/angle/set, the dial's state on PREFIX/NAME/..., and Home "
            "Assistant discovery.",
            "URL"),
      name_("mqtt-name",
            "This dial's name on the broker (letters, digits, - and _). Default: the host name, "
            "reduced to those.",
            "NAME"),
      prefix_("mqtt-prefix", "The first topic levels, before the name. Default: stepper-dial.",
              "PREFIX"),
      credentials_("mqtt-credentials",
                   "Log in to the broker with the user on FILE's first line and the password on "
                   "its second; FILE must not be readable by every user.",
                   "FILE"),
      ca_("mqtt-ca",
          "Trust the broker's TLS certificate if signed by the CAs in FILE (PEM). Default: the "
          "system's CA store.",
          "FILE"),
      discovery_("mqtt-discovery",
                 "on: announce the dial to Home Assistant (the default); off: do not; remove: "
                 "clear the announcement from the broker and exit.",
                 "on|off|remove")
{
    for (const auto* option : {&mqtt_, &name_, &prefix_, &credentials_, &ca_, &discovery_})
        parser.addOption(*option);
}

Outcome MqttCommandLine::Read(const QCommandLineParser& parser, MqttOptions& options,
                              MqttCredentials& credentials) const
{
    for (const auto* option : {&name_, &prefix_, &credentials_, &ca_, &discovery_}) {
        if (parser.values(*option).size() > 1)
            return UsageFailure("Give --" + option->names().constFirst() + " once.");
        if (parser.isSet(*option) && !parser.isSet(mqtt_))
            return UsageFailure("--" + option->names().constFirst() + ": give --mqtt too.");
    }
    if (parser.values(mqtt_).size() > 1)
        return UsageFailure("Give --mqtt once: one broker.");
    if (!parser.isSet(mqtt_))
        return {};
    if (Outcome failed = ReadMqttUrl(parser.value(mqtt_), options))
        return failed;
    options.name =
        parser.isSet(name_) ? parser.value(name_) : TopicSafeName(QSysInfo::machineHostName());
    if (!IsTopicSafeName(options.name))
        return UsageFailure("--mqtt-name: '" + options.name +
                            "' is not 1 to 64 letters, digits, - and _ (such as dial_7).");
    if (parser.isSet(prefix_))
        options.prefix = parser.value(prefix_);
    if (!IsTopicPrefix(options.prefix))
        return UsageFailure("--mqtt-prefix: '" + options.prefix +
                            "' is not a topic without + or #, empty levels or a leading $ (such as "
                            "lab/dials).");
    options.caFile = parser.value(ca_);
    if (parser.isSet(ca_) && !options.tls)
        return UsageFailure("--mqtt-ca: the broker's URL is mqtt://, without TLS; give mqtts://.");
    const QString discovery = parser.value(discovery_);
    if (discovery == "off")
        options.discovery = MqttOptions::Discovery::Off;
    else if (discovery == "remove")
        options.discovery = MqttOptions::Discovery::Remove;
    else if (parser.isSet(discovery_) && discovery != "on")
        return UsageFailure("--mqtt-discovery: '" + discovery + "' is not on, off or remove.");
    options.credentialsFile = parser.value(credentials_);
    if (parser.isSet(credentials_))
        return ReadCredentials(options.credentialsFile, credentials);
    return {};
}

QStringList MqttCommandLine::Given(const QCommandLineParser& parser) const
{
    return parser.isSet(mqtt_) ? QStringList{"--mqtt"} : QStringList{};
}
