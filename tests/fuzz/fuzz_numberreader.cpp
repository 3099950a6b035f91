// SPDX-License-Identifier: MIT
// Fuzzes the angle reader: never a crash or an overread, always finite (or the saturated
// largest double), blind to blanks wherever they are inserted and to a trailing line feed.
#include "core/numberreader.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The bytes as the client's 8-bit text.
double Read(const std::string& bytes)
{
    std::u16string wide(bytes.size(), u'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        wide[i] = static_cast<unsigned char>(bytes[i]);
    return ReadAngleNumber(wide);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const double value = Read(text);
    if (!std::isfinite(value))
        std::abort();
    if (Read(text + "\n") != value)
        std::abort();

    // A blank at a position picked from the input itself.
    const std::size_t at = size == 0 ? 0 : data[0] % (size + 1);
    for (const char* blank : {" ", "\t", "\n"}) {
        std::string spaced = text;
        spaced.insert(at, blank);
        if (Read(spaced) != value)
            std::abort();
    }
    return 0;
}
