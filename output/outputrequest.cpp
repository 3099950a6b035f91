// SPDX-License-Identifier: MIT
#include "outputrequest.h"

#include "devicenames.h"
#include "rawioport.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace {

constexpr unsigned HighestPortNumber = 15;

bool ReadUnsigned(std::string_view text, int base, unsigned& value)
{
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

Outcome ReadPortOption(const std::string& text, OutputRequest& request)
{
    request.kind = OutputRequest::Kind::Parport;
    request.asWritten = text;
    const std::string form = "--port: '" + text + "' ";
    if (text.rfind("/dev/", 0) == 0 && text.size() > 5) {
        request.device = text;
        return {};
    }
    unsigned value = 0;
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        if (!ReadUnsigned(std::string_view(text).substr(2), 16, value) || value > 0xFFFF) {
            return UsageFailure(form + "is not an I/O address (0x100 to 0xffff, such as 0xd010).");
        }
        if (value < LowestRawIoAddress) {
            return UsageFailure(form + "is below " + Hex(LowestRawIoAddress) +
                                ", where the PC's own controllers are, not a parallel port.");
        }
        request.byAddress = true;
        request.address = value;
        return {};
    }
    if (IsDecimalDigits(text)) {
        if (ReadUnsigned(text, 10, value) && value <= HighestPortNumber) {
            request.device = "/dev/parport" + std::to_string(value);
            return {};
        }
        // Addresses are written in hex; a decimal one is almost always a missing 0x.
        unsigned asHex = 0;
        const bool hexFits =
            ReadUnsigned(text, 16, asHex) && asHex >= LowestRawIoAddress && asHex <= 0xFFFF;
        return UsageFailure(
            form + "is not a port number (0-" + std::to_string(HighestPortNumber) + "); " +
            (hexFits ? "did you mean 0x" + text + "?" : "write an I/O address in hex, with 0x."));
    }
    return UsageFailure(form +
                        "is not a port number (0-15), an I/O address (such as 0xd010) or a device "
                        "(such as /dev/parport1).");
}

Outcome ReadGpioOption(const std::string& text, OutputRequest& request)
{
    request.kind = OutputRequest::Kind::Gpio;
    request.asWritten = text;
    const auto colon = text.rfind(':');
    std::vector<std::string> lines;
    if (colon != std::string::npos) {
        request.chip = text.substr(0, colon);
        std::string rest = text.substr(colon + 1);
        for (std::size_t start = 0;;) {
            const auto comma = rest.find(',', start);
            lines.push_back(rest.substr(start, comma - start));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    if (request.chip.empty() || lines.size() != 4 ||
        std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.empty(); })) {
        return UsageFailure("--gpio: '" + text +
                            "' is not CHIP:L0,L1,L2,L3 with exactly four lines (such as "
                            "gpiochip0:17,18,27,22).");
    }
    for (std::size_t i = 0; i < 4; ++i) {
        request.lines[i].asWritten = lines[i];
        if (!IsDecimalDigits(lines[i]))
            continue; // a line name
        unsigned offset = 0;
        if (!ReadUnsigned(lines[i], 10, offset)) {
            return UsageFailure("--gpio: line '" + lines[i] +
                                "' is not a line offset (too large).");
        }
        request.lines[i].offset = offset;
    }
    return {};
}
