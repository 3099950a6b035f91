// SPDX-License-Identifier: MIT
#include "webcommandline.h"

WebCommandLine::WebCommandLine(QCommandLineParser& parser)
    : web_("web",
           "Serve a live page of the dial, with its angle field, at ADDRESS:PORT (such as "
           "127.0.0.1:3080 or [::1]:3080); repeatable. Clients as --allow says.",
           "ADDRESS:PORT"),
      readOnly_("web-read-only", "The web page shows the dial but cannot turn it.")
{
    parser.addOption(web_);
    parser.addOption(readOnly_);
}

Outcome WebCommandLine::Read(const QCommandLineParser& parser, const Networks& allowed,
                             WebOptions& options) const
{
    for (const QString& text : parser.values(web_)) {
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
            return UsageFailure("--web: '" + text +
                                "' is not ADDRESS:PORT (such as 127.0.0.1:3080).");
        options.addresses.append(at);
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
    for (const auto* option : {&web_, &readOnly_})
        if (parser.isSet(*option))
            given << "--" + option->names().constFirst();
    return given;
}
