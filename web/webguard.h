// SPDX-License-Identifier: MIT
// Who may see and turn the dial through the web page. A page served on this machine's
// loopback must not be steered by another site the operator's browser happens to show: the
// Host a request names must be one of ours (so a name an attacker controls, rebound to
// 127.0.0.1, is refused), and a browser's Origin must be the page's own.
#pragma once

#include "network/networkpolicy.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>

struct WebAddress {
    QHostAddress address; // Any or AnyIPv6: every interface
    quint16 port = 0;
};

// The Host header of a request to one of `listening`: an address literal we listen on (any
// literal when listening on every interface), or "localhost" on a loopback listener, with
// the port listened on.
bool HostIsOurs(QByteArrayView host, const QList<WebAddress>& listening);
// The Origin header: absent (not a browser), or "http://" and the request's own Host.
bool OriginIsOurs(QByteArrayView origin, QByteArrayView host);
