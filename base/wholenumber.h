// SPDX-License-Identifier: MIT
// A whole number that is all of its text: no sign where the type has none, no blanks, nothing
// after it. For option values and file fields, where a stray character must not pass.
#pragma once

#include <charconv>
#include <string_view>

template <class Number> bool ReadWholeNumber(std::string_view text, Number& value, int base = 10)
{
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value, base);
    return !text.empty() && error == std::errc() && at == end;
}
