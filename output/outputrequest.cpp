// SPDX-License-Identifier: MIT
#include "outputrequest.h"

#include "base/wholenumber.h"
#include "devicenames.h"
#include "rawioport.h"

#include <algorithm>
#include <vector>

namespace {

constexpr unsigned HighestPortNumber = 15;

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
        if (!ReadWholeNumber(std::string_view(text).substr(2), value, 16) || value > 0xFFFF) {
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
        if (ReadWholeNumber(text, value) && value <= HighestPortNumber) {
            request.device = "/dev/parport" + std::to_string(value);
            return {};
        }
        // Addresses are written in hex; a decimal one is almost always a missing 0x.
        unsigned asHex = 0;
        const bool hexFits =
            ReadWholeNumber(text, asHex, 16) && asHex >= LowestRawIoAddress && asHex <= 0xFFFF;
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
        if (!ReadWholeNumber(lines[i], offset)) {
            return UsageFailure("--gpio: line '" + lines[i] +
                                "' is not a line offset (too large).");
        }
        request.lines[i].offset = offset;
    }
    return {};
}
