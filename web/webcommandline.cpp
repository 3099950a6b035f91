// SPDX-License-Identifier: MIT
#include "webcommandline.h"

WebCommandLine::WebCommandLine(QCommandLineParser& parser)
    : web_("web",
           "Serve a live page of the dial, with its angle field, at ADDRESS:PORT (such as "
           "127.0.0.1:3080 or [::1]:3080); repeatable. Clients as --allow says.",
           "ADDRESS:PORT"),
      readOnly_("web-read-only", "The web page shows the dial but cannot turn it."),
      metrics_("metrics",
               "Serve the Prometheus metrics alone (no page) at ADDRESS:PORT, such as "
               "127.0.0.1:9310; repeatable. Clients as --allow says. --web serves them too, "
               "at /metrics.",
               "ADDRESS:PORT")
{
    parser.addOption(web_);
    parser.addOption(readOnly_);
    parser.addOption(metrics_);
}

namespace {

// "127.0.0.1:3080" or "[::1]:3080": the port after the last colon.
bool ReadWebAddress(const QString& text, WebAddress& at)
{
    const qsizetype colon = text.lastIndexOf(':');
    QString host = text.left(colon);
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(':'))
        host.clear(); // an IPv6 address must be bracketed
    bool number = false;
    const uint port = text.mid(colon + 1).toUInt(&number);
    at = {QHostAddress(), quint16(port)};
    return colon >= 0 && ReadAddress(host, at.address) && number && port > 0 && port <= 65535;
}

} // namespace

Outcome WebCommandLine::Read(const QCommandLineParser& parser, const Networks& allowed,
                             WebOptions& options) const
{
    for (const auto& [option, addresses] :
         {std::pair{&web_, &options.addresses}, std::pair{&metrics_, &options.metricsAddresses}}) {
        for (const QString& text : parser.values(*option)) {
            WebAddress at;
            if (!ReadWebAddress(text, at))
                return UsageFailure("--" + option->names().constFirst() + ": '" + text +
                                    "' is not ADDRESS:PORT (such as 127.0.0.1:3080).");
            addresses->append(at);
        }
    }
    if (parser.isSet(readOnly_) && !parser.isSet(web_))
        return UsageFailure("--web-read-only: give --web too.");
    options.readOnly = parser.isSet(readOnly_);
    options.allowed = allowed;
    return {};
}

QStringList WebCommandLine::Given(const QCommandLineParser& parser) const
{
    QStringList given;
    for (const auto* option : {&web_, &readOnly_, &metrics_})
        if (parser.isSet(*option))
            given << "--" + option->names().constFirst();
    return given;
}
