// SPDX-License-Identifier: MIT
// Fuzzes the angle reader: never a crash or an overread, always finite (or the saturated
// largest double), blind to blanks wherever they are inserted and to a trailing line feed,
// and the same for 8-bit and 16-bit forms of one text.
#include "core/numberreader.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const double value = ReadAngleNumber(std::string_view(text));
    if (!std::isfinite(value))
        std::abort();

    std::u16string wide(text.begin(), text.end());
    for (std::size_t i = 0; i < text.size(); ++i)
        wide[i] = static_cast<unsigned char>(text[i]);
    if (ReadAngleNumber(std::u16string_view(wide)) != value)
        std::abort();

    if (ReadAngleNumber(std::string_view(text + "\n")) != value)
        std::abort();

    // A blank at a position picked from the input itself.
    const std::size_t at = size == 0 ? 0 : data[0] % (size + 1);
    for (const char* blank : {" ", "\t", "\n"}) {
        std::string spaced = text;
        spaced.insert(at, blank);
        if (ReadAngleNumber(std::string_view(spaced)) != value)
            std::abort();
    }
    return 0;
}
