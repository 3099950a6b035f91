#include "outputrequest.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace {

bool ReadUnsigned(std::string_view text, int base, unsigned& value)
{
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

bool ReadPortOption(const std::string& text, OutputRequest& request, std::string& why)
{
    request.kind = OutputRequest::Kind::Parport;
    request.asWritten = text;
    if (text.rfind("/dev/", 0) == 0 && text.size() > 5) {
        request.device = text;
        return true;
    }
    unsigned value = 0;
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    if (hex ? ReadUnsigned(std::string_view(text).substr(2), 16, value)
            : ReadUnsigned(text, 10, value)) {
        if (!hex && value <= 15) {
            request.device = "/dev/parport" + std::to_string(value);
            return true;
        }
        if (value > 0 && value <= 0xFFFF) {
            request.byAddress = true;
            request.address = value;
            return true;
        }
    }
    why = "--port: '" + text +
          "' is not a port number (0-15), an I/O address (such as 0xd010) or a device "
          "(such as /dev/parport1).";
    return false;
}

bool ReadGpioOption(const std::string& text, OutputRequest& request, std::string& why)
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
        why = "--gpio: '" + text +
              "' is not CHIP:L0,L1,L2,L3 with exactly four lines (such as "
              "gpiochip0:17,18,27,22).";
        return false;
    }
    std::copy(lines.begin(), lines.end(), request.lines.begin());
    return true;
}
