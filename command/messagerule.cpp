// SPDX-License-Identifier: MIT
#include "messagerule.h"

#include <algorithm>

std::u16string AngleTextFromBytes(std::string_view received)
{
    received = received.substr(0, std::min(received.size(), MaxAngleTextLength));
    std::u16string text(received.size(), u'\0');
    std::transform(received.begin(), received.end(), text.begin(),
                   [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
    return text;
}
