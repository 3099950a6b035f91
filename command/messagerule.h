// SPDX-License-Identifier: MIT
// What one read from the client means: the disconnect command, or a new requested-angle
// text. Pure, so it can be checked byte by byte.
#pragma once

#include <string>
#include <string_view>

// The longest requested-angle text kept (the line edit's own limit).
inline constexpr std::size_t MaxAngleTextLength = 32767;

// Only the whole read, exactly, with case and length significant.
inline bool IsDisconnectCommand(std::string_view received)
{
    return received == "disconnect";
}

// The bytes as 8-bit (Latin-1) text, cut to MaxAngleTextLength characters.
std::u16string AngleTextFromBytes(std::string_view received);
