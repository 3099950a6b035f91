// SPDX-License-Identifier: MIT
#include "discoveryremoval.h"

#include "base/report.h"
#include "brokerlink.h"
#include "discovery.h"

#include <QCoreApplication>
#include <QTimer>

ExitStatus RemoveDiscovery(const MqttOptions& options, const MqttCredentials& credentials)
{
    constexpr int AnswerMs = 10000;
    QCoreApplication& app = *QCoreApplication::instance();
    // An id of its own: the running dial's connection stays where it is.
    BrokerLink link(options, credentials, options.ClientId() + "-remove", {}, {});
    const QString broker = "the broker at " + options.BrokerText();
    auto end = [&app](const QString& line, ExitStatus status) {
        Report(line.toStdString());
        app.exit(ToInt(status));
    };
    int id = -1;
    QObject::connect(&link, &BrokerLink::Connected, &app, [&] {
        // An empty retained message deletes the one held: where this release announces the
        // dial and where the one before did.
        link.Publish(OldDiscoveryTopic(options), {}, 1, true);
        link.Publish(HomeButtonTopic(options), {}, 1, true);
        if (!link.Publish(DiscoveryTopic(options), {}, 1, true, &id))
            end("MQTT: " + broker + " took no message; the announcement stays",
                ExitStatus::StartUp);
    });
    // Done only when the broker says it took the clearing: an access list may refuse it.
    QObject::connect(&link, &BrokerLink::Answered, &app, [&](int answered, const QString& refusal) {
        if (answered != id)
            return;
        if (refusal.isEmpty())
            end("MQTT: cleared the Home Assistant announcement " + DiscoveryTopic(options) +
                    " from " + broker,
                ExitStatus::Normal);
        else
            end("MQTT: " + broker + " refuses to clear the Home Assistant announcement " +
                    DiscoveryTopic(options) + " (" + refusal +
                    "); the announcement stays: allow it in the broker's access list",
                ExitStatus::StartUp);
    });
    QObject::connect(&link, &BrokerLink::Refused, &app, [&](const QString& why, bool refused) {
        end("MQTT: " + broker + " refuses this client: " + why,
            refused ? ExitStatus::Hardware : ExitStatus::StartUp);
    });
    QObject::connect(&link, &BrokerLink::Lost, &app, [&](const QString& why) {
        end("MQTT: cannot reach " + broker + (why.isEmpty() ? QString() : " (" + why + ')') +
                "; the announcement stays",
            ExitStatus::StartUp);
    });
    QTimer::singleShot(AnswerMs, &app, [&] {
        end("MQTT: no answer from " + broker + " in 10 s; the announcement stays",
            ExitStatus::StartUp);
    });
    if (Outcome failed = link.Start()) {
        Report(failed->line);
        return failed->status;
    }
    const auto status = ExitStatus(app.exec());
    if (!link.Stop())
        std::_Exit(ToInt(status)); // still inside a connect: nothing is left to do or to save
    return status;
}
