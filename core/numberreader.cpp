// SPDX-License-Identifier: MIT
#include "numberreader.h"

#include <charconv>
#include <limits>
#include <string>

namespace {

template <typename Char> bool IsIgnoredBlank(Char c)
{
    return c == Char(' ') || c == Char('\t') || c == Char('\n');
}

template <typename Char> bool IsDigit(Char c)
{
    return c >= Char('0') && c <= Char('9');
}

template <typename Char> double ReadNumber(std::basic_string_view<Char> text)
{
    // The accepted characters are collected into a compact ASCII form and converted once,
    // so the result is the correctly rounded double of the decimal that was written.
    std::string number;
    bool negative = false;
    bool seenSign = false;
    bool seenPoint = false;
    bool seenDigit = false;
    bool nonZeroBeforePoint = false;
    for (Char c : text) {
        if (IsIgnoredBlank(c))
            continue;
        if (IsDigit(c)) {
            seenDigit = true;
            // Leading zeros of the whole part carry no value and would only make the
            // conversion work harder on hostile input.
            if (!seenPoint && number.empty() && c == Char('0'))
                continue;
            if (!seenPoint && c != Char('0'))
                nonZeroBeforePoint = true;
            number.push_back(static_cast<char>(c));
        } else if (c == Char('.') && !seenPoint) {
            seenPoint = true;
            number.push_back('.');
        } else if ((c == Char('-') || c == Char('+')) && !seenSign && !seenDigit && !seenPoint) {
            seenSign = true;
            negative = c == Char('-');
        } else {
            break;
        }
    }
    if (!seenDigit)
        return 0.0;
    double magnitude = 0.0;
    if (!number.empty() && number != ".") {
        if (number.front() == '.')
            number.insert(number.begin(), '0');
        if (number.back() == '.')
            number.pop_back();
        auto [end, error] =
            std::from_chars(number.data(), number.data() + number.size(), magnitude);
        (void)end;
        if (error == std::errc::result_out_of_range)
            magnitude = nonZeroBeforePoint ? std::numeric_limits<double>::max() : 0.0;
        else if (error != std::errc())
            magnitude = 0.0;
    }
    return negative ? -magnitude : magnitude;
}

} // namespace

double ReadAngleNumber(std::u16string_view text)
{
    return ReadNumber(text);
}
