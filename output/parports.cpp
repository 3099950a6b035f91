// SPDX-License-Identifier: MIT
#include "parports.h"

#include "devicenames.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace {

const std::string ProcDir = "/proc/sys/dev/parport";

std::string Trimmed(std::optional<std::string> text)
{
    if (!text)
        return "";
    while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
        text->pop_back();
    return *text;
}

// The kernel writes "base<TAB>base_hi" (base_hi -1 where there is none).
void ReadBaseAddresses(const std::string& text, Parport& port)
{
    std::istringstream in(text);
    long base = -1, baseHi = -1;
    if (in >> base && base > 0)
        port.base = unsigned(base);
    if (in >> baseHi && baseHi > 0)
        port.baseHi = unsigned(baseHi);
}

} // namespace

std::optional<std::vector<Parport>> ListParports(PortKernel& kernel)
{
    auto entries = kernel.ListDirectory(ProcDir);
    if (!entries)
        return std::nullopt;
    std::sort(entries->begin(), entries->end(), NumberedNameLess);
    std::vector<Parport> ports;
    for (const auto& name : *entries) {
        const auto number = NumberAfter(name, "parport");
        if (!number)
            continue;
        Parport port;
        port.number = *number;
        port.modes = Trimmed(kernel.ReadFile(ProcDir + "/" + name + "/modes"));
        port.holder = PortHolder(kernel, *number);
        ReadBaseAddresses(Trimmed(kernel.ReadFile(ProcDir + "/" + name + "/base-addr")), port);
        ports.push_back(port);
    }
    return ports;
}

std::string PortHolder(PortKernel& kernel, unsigned number)
{
    const std::string holder =
        Trimmed(kernel.ReadFile(ProcDir + "/parport" + std::to_string(number) + "/devices/active"));
    return holder == "none" ? "" : holder;
}

std::string HolderRemedy(const std::string& holder, const std::string& device)
{
    if (NumberAfter(holder, "ppdev"))
        return "another program is using the port through ppdev (see it with: fuser -v " + device +
               "); stop it first";
    if (holder == "lp")
        return "the printer driver lp has it; let the print job finish, or unload the driver: "
               "sudo modprobe -r lp";
    return "the driver " + holder + " has it; unload it: sudo modprobe -r " + holder;
}

std::optional<std::string> IoportOwner(PortKernel& kernel, unsigned address)
{
    const auto text = kernel.ReadFile("/proc/ioports");
    if (!text)
        return std::nullopt;
    // "  0378-037a : parport0": deeper indentation is a range inside the one above.
    std::istringstream in(*text);
    std::string line, owner;
    std::size_t depth = 0;
    bool anyAddress = false;
    while (std::getline(in, line)) {
        const std::size_t indent = line.find_first_not_of(' ');
        const std::size_t dash = line.find('-'), colon = line.find(" : ");
        if (indent == std::string::npos || dash == std::string::npos || colon == std::string::npos)
            continue;
        unsigned from = 0, to = 0;
        if (std::from_chars(line.data() + indent, line.data() + dash, from, 16).ec != std::errc() ||
            std::from_chars(line.data() + dash + 1, line.data() + colon, to, 16).ec != std::errc())
            continue;
        anyAddress = anyAddress || to != 0;
        if (from <= address && address <= to && (owner.empty() || indent > depth)) {
            owner = line.substr(colon + 3);
            depth = indent;
        }
    }
    if (!anyAddress)
        return std::nullopt;
    return owner;
}
