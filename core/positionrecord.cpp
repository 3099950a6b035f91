// SPDX-License-Identifier: MIT
#include "positionrecord.h"

#include "base/wholenumber.h"
#include "motor/steppingcontroller.h"

#include <QCryptographicHash>
#include <charconv>
#include <vector>

namespace {

constexpr std::string_view Header = "stepper-dial position ";
constexpr std::string_view CheckKey = "check ";

std::string Check(std::string_view body)
{
    const QByteArray hash = QCryptographicHash::hash(
        QByteArrayView(body.data(), qsizetype(body.size())), QCryptographicHash::Sha256);
    return hash.left(8).toHex().toStdString();
}

// Whole line "key value..." split on single spaces; the values are integers within reach.
struct Line {
    std::string_view key;
    std::vector<std::int64_t> numbers;
    std::vector<std::string_view> words;
};

bool ReadNumber(std::string_view word, std::int64_t& value)
{
    return ReadWholeNumber(word, value) && value >= -SteppingController::ReachableSteps &&
           value <= SteppingController::ReachableSteps;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

std::string FormatPositionRecord(const PositionRecord& r)
{
    const bool named = r.geometry != StepGeometry();
    std::string body = std::string(Header) + (named ? "2" : "1") + "\n";
    if (named) {
        const StepGeometry& g = r.geometry;
        char steps[64];
        const auto written = std::to_chars(steps, steps + sizeof steps, g.FullStepsPerTurn(),
                                           std::chars_format::fixed);
        body += "geometry " + std::string(steps, written.ptr) + (g.HalfStep() ? " half" : " full") +
                (g.Reverse() ? " reverse" : " forward") + "\n";
    }
    body += "position " + std::to_string(r.step) + "\n";
    body += "phase-offset " + std::to_string(r.phaseOffset) + "\n";
    body += r.moving ? "moving " + std::to_string(r.lowest) + " " + std::to_string(r.highest) + "\n"
                     : std::string("at-rest\n");
    switch (r.doubt) {
    case PositionRecord::Doubt::None: body += "doubt none\n"; break;
    case PositionRecord::Doubt::Unknown: body += "doubt unknown\n"; break;
    case PositionRecord::Doubt::Bounded:
        body += "doubt " + std::to_string(r.doubtLow) + " " + std::to_string(r.doubtHigh) + "\n";
        break;
    }
    return body + std::string(CheckKey) + Check(body) + "\n";
}

Outcome ParsePositionRecord(std::string_view text, PositionRecord& record)
{
    if (!text.starts_with(Header)) {
        return Failure{"not a stepper-dial position file"};
    }
    std::vector<std::string_view> lines = Split(text, '\n');
    if (lines.empty() || !lines.back().empty()) {
        return Failure{"the file ends in the middle of a line (cut short?)"};
    }
    lines.pop_back();
    std::int64_t version = 0;
    if (!ReadNumber(lines.front().substr(Header.size()), version) || version < 1) {
        return Failure{"its version line is damaged"};
    }
    if (version > PositionRecord::Version) {
        return Failure{"it was written by a newer stepper-dial (format " + std::to_string(version) +
                       ")"};
    }
    const std::string_view checkLine = lines.back();
    const std::size_t bodySize = std::size_t(checkLine.data() - text.data());
    const std::size_t named = version >= 2 ? 1 : 0;
    if (lines.size() != 6 + named || !checkLine.starts_with(CheckKey) ||
        checkLine.substr(CheckKey.size()) != Check(text.substr(0, bodySize))) {
        return Failure{"its checksum does not match (cut short or edited)"};
    }
    PositionRecord r;
    auto numbers = [](std::string_view line, std::string_view key, std::size_t count,
                      std::int64_t* out) {
        const std::vector<std::string_view> words = Split(line, ' ');
        if (words.size() != count + 1 || words[0] != key)
            return false;
        for (std::size_t k = 0; k < count; ++k)
            if (!ReadNumber(words[k + 1], out[k]))
                return false;
        return true;
    };
    bool good = true;
    if (named) {
        const std::vector<std::string_view> words = Split(lines[1], ' ');
        const std::optional<double> steps =
            words.size() == 4 ? ReadStepsPerTurn(words[1]) : std::nullopt;
        good = words[0] == "geometry" && steps && (words[2] == "full" || words[2] == "half") &&
               (words[3] == "forward" || words[3] == "reverse");
        if (good)
            r.geometry = StepGeometry(*steps, words[2] == "half", words[3] == "reverse");
    }
    lines.erase(lines.begin(), lines.begin() + std::ptrdiff_t(named));
    std::int64_t offset = 0, range[2] = {0, 0};
    good = good && numbers(lines[1], "position", 1, &r.step) &&
           numbers(lines[2], "phase-offset", 1, &offset) && offset >= 0 &&
           offset < r.geometry.Phases();
    r.phaseOffset = int(offset);
    if (good && lines[3] != "at-rest") {
        r.moving = true;
        good = numbers(lines[3], "moving", 2, range) && range[0] <= r.step && r.step <= range[1];
        r.lowest = range[0];
        r.highest = range[1];
    }
    if (good && lines[4] == "doubt unknown") {
        r.doubt = PositionRecord::Doubt::Unknown;
    } else if (good && lines[4] != "doubt none") {
        r.doubt = PositionRecord::Doubt::Bounded;
        good = numbers(lines[4], "doubt", 2, range) && range[0] <= 0 && 0 <= range[1];
        r.doubtLow = range[0];
        r.doubtHigh = range[1];
    }
    if (!good) {
        return Failure{"it holds a value out of range"};
    }
    record = r;
    return {};
}
