// SPDX-License-Identifier: MIT
#include "mqttoptions.h"

#include <QUrl>

QByteArray MqttOptions::Topic(const char* leaf) const
{
    return (prefix + '/' + name + '/' + QLatin1String(leaf)).toUtf8();
}

QString MqttOptions::BrokerText() const
{
    return (host.contains(':') ? '[' + host + ']' : host) + ':' + QString::number(port);
}

Outcome ReadMqttUrl(const QString& url, MqttOptions& options)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != "mqtt" && scheme != "mqtts") || parsed.host().isEmpty() ||
        !parsed.userInfo().isEmpty() || !(parsed.path().isEmpty() || parsed.path() == "/") ||
        parsed.hasQuery() || parsed.hasFragment()) {
        return UsageFailure("--mqtt: '" + url +
                            "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (such as "
                            "mqtt://192.168.1.5); a user and password go in --mqtt-credentials.");
    }
    options.tls = scheme == "mqtts";
    options.host = parsed.host();
    const int port = parsed.port(options.tls ? 8883 : 1883);
    if (port <= 0) {
        return UsageFailure("--mqtt: '" + url + "' names port 0.");
    }
    options.port = quint16(port);
    return {};
}

bool IsTopicSafeName(const QString& name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (QChar c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != '-' && c != '_')
            return false;
    return true;
}

QString TopicSafeName(const QString& hostName)
{
    QString name;
    for (QChar c : hostName.toLower())
        name += (c.unicode() < 128 && (c.isLetterOrNumber() || c == '-' || c == '_')) ? c : '_';
    name = name.left(64);
    return name.isEmpty() ? QString("stepper-dial") : name;
}

bool IsTopicPrefix(const QString& prefix)
{
    if (prefix.isEmpty() || prefix.startsWith('$') || prefix.contains('+') ||
        prefix.contains('#') || prefix.contains(QChar(0)))
        return false;
    for (const QString& level : prefix.split('/'))
        if (level.isEmpty())
            return false;
    return true;
}
