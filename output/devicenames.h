// SPDX-License-Identifier: MIT
// The small rules every output shares when it reads names off the system: numbered names
// (parport2, gpiochip10), directory listings, hex addresses.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// True for one or more ASCII digits and nothing else.
bool IsDecimalDigits(std::string_view text);
// The number after a prefix ("parport12" -> 12), or nothing when the rest is not digits.
std::optional<unsigned> NumberAfter(std::string_view name, std::string_view prefix);
// parport2 before parport10: digits compare as numbers (glibc's version order).
bool NumberedNameLess(const std::string& a, const std::string& b);
// Entry names of a directory without "." and "..", or nothing if it cannot be listed.
std::optional<std::vector<std::string>> ListDirectory(const std::string& path);
// "0x378".
std::string Hex(unsigned value);
