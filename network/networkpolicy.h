// SPDX-License-Identifier: MIT
// Who may reach the program over the network, and how addresses are read and told: the rules
// the command port and the web page share.
#pragma once

#include "base/failure.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <string>

// Networks a peer may come from (QHostAddress::parseSubnet's pairs); empty: any.
using Networks = QList<QPair<QHostAddress, int>>;

// Inside one of the networks (IPv4-mapped IPv6 addresses taken as IPv4), or any peer when
// none are given.
bool IsAllowed(const QHostAddress& peer, const Networks& allowed);
// A dual-stack server sees IPv4 peers as ::ffff:a.b.c.d; this gives a.b.c.d back.
QHostAddress Unmapped(const QHostAddress& peer);
// Two peers that count as one source for the limits: the same IPv4 address, or the same
// IPv6 /64 (what one host or one customer line is given).
bool SameSource(const QHostAddress& a, const QHostAddress& b);
// How to find the program that holds a TCP port.
std::string PortHolderHint(quint16 port);
// A literal address, IPv4 or IPv6, nothing to look up.
bool ReadAddress(const QString& text, QHostAddress& address);
// An --allow network; a usage failure when it is not one.
Outcome ReadNetwork(const QString& text, QPair<QHostAddress, int>& network);
