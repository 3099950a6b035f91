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

bool ReadPortSpec(const std::string& spec, OutputRequest& request, std::string& why)
{
    request.kind = OutputRequest::Kind::Parport;
    request.spec = spec;
    if (spec.rfind("/dev/", 0) == 0 && spec.size() > 5) {
        request.device = spec;
        return true;
    }
    unsigned value = 0;
    const bool hex = spec.rfind("0x", 0) == 0 || spec.rfind("0X", 0) == 0;
    if (hex ? ReadUnsigned(std::string_view(spec).substr(2), 16, value)
            : ReadUnsigned(spec, 10, value)) {
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
    why = "--port: '" + spec +
          "' is not a port number (0-15), an I/O address (such as 0xd010) or a device "
          "(such as /dev/parport1).";
    return false;
}

bool ReadGpioSpec(const std::string& spec, OutputRequest& request, std::string& why)
{
    request.kind = OutputRequest::Kind::Gpio;
    request.spec = spec;
    const auto colon = spec.rfind(':');
    std::vector<std::string> lines;
    if (colon != std::string::npos) {
        request.chip = spec.substr(0, colon);
        std::string rest = spec.substr(colon + 1);
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
        why = "--gpio: '" + spec +
              "' is not CHIP:L0,L1,L2,L3 with exactly four lines (such as "
              "gpiochip0:17,18,27,22).";
        return false;
    }
    std::copy(lines.begin(), lines.end(), request.lines.begin());
    return true;
}
