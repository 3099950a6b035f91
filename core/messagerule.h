// SPDX-License-Identifier: MIT
// What one read from the client means: the disconnect command, or a new requested-angle
// text.
#pragma once

#include <QByteArray>
#include <QString>

// The longest requested-angle text kept (the line edit's own limit).
inline constexpr qsizetype MaxAngleTextLength = 32767;

// Only the whole read, exactly, with case and length significant.
inline bool IsDisconnectCommand(QByteArrayView received)
{
    return received == QByteArrayView("disconnect");
}

// The bytes as 8-bit (Latin-1) text, cut to MaxAngleTextLength characters.
inline QString AngleTextFromBytes(QByteArrayView received)
{
    return QString::fromLatin1(received.first(std::min(received.size(), MaxAngleTextLength)));
}
