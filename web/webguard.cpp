// SPDX-License-Identifier: MIT
#include "webguard.h"

#include <QUrl>

bool HostIsOurs(QByteArrayView host, const QList<WebAddress>& listening)
{
    // Parsed as the authority of a URL, so "[::1]:3080" and "127.0.0.1:3080" both split.
    const QUrl url(QStringLiteral("http://") + QString::fromLatin1(host), QUrl::StrictMode);
    if (host.isEmpty() || !url.isValid() || !url.userInfo().isEmpty() || url.path() != "")
        return false;
    const int port = url.port(80);
    const QHostAddress named(url.host());
    const bool localhost = url.host().compare("localhost", Qt::CaseInsensitive) == 0;
    for (const WebAddress& ours : listening) {
        if (port != ours.port)
            continue;
        const bool everywhere = ours.address == QHostAddress::Any ||
                                ours.address == QHostAddress::AnyIPv6 ||
                                ours.address == QHostAddress::AnyIPv4;
        if (localhost ? everywhere || ours.address.isLoopback()
                      : !named.isNull() && (everywhere || named.isEqual(ours.address)))
            return true;
    }
    return false;
}

bool OriginIsOurs(QByteArrayView origin, QByteArrayView host)
{
    return origin.isEmpty() || (origin.startsWith("http://") && origin.sliced(7) == host);
}
