// SPDX-License-Identifier: MIT
#include "positionmemory.h"

#include "angletext.h"
#include "base/report.h"
#include "motor/steppingcontroller.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const std::string SetHint = "set the position (right-click the dial, or start with --position DEG)";

std::int64_t InReach(double steps)
{
    constexpr double limit = double(SteppingController::ReachableSteps);
    return std::int64_t(std::clamp(steps, -limit, limit));
}

} // namespace

std::string PositionMemory::Degrees(std::int64_t step) const
{
    return FormatAngleText(geometry_.DegreesAt(step), ".");
}

PositionMemory::PositionMemory(std::string path, const StepGeometry& geometry, QObject* parent)
    : QObject(parent), file_(std::move(path)), geometry_(geometry)
{
    record_.geometry = geometry;
    slow_.setSingleShot(true);
    slow_.setInterval(SlowWriteMs);
    connect(&slow_, &QTimer::timeout, this, [this] {
        if (!std::exchange(slowSaid_, true))
            Report("the position file " + Path() + " takes over " + std::to_string(SlowWriteMs) +
                   " ms to write; the motor moves without waiting for it");
        trusted_ = true;
        StopWaiting();
    });
    connect(&file_, &PositionFile::Saved, this, &PositionMemory::TakeSaved);
}

PositionMemory::Start PositionMemory::Restore()
{
    const PositionFile::Reading reading = file_.Read();
    using Kind = PositionFile::Reading::Kind;
    if (reading.kind == Kind::Missing) {
        restored_ = "new at start";
        Post(); // a directory that cannot take the file says so now, not mid-move
        return {0,
                0,
                "no position file at " + Path() +
                    " yet: the motor's place is 0 degrees; "
                    "it is remembered from now on",
                {}};
    }
    if (reading.kind == Kind::NotAFile)
        return {0,
                0,
                {},
                Failure{"--state " + Path() + ": " + reading.why +
                            ", and only a regular file is ever read or replaced; give the path "
                            "of a file (it need not exist yet)",
                        ExitStatus::Usage}};
    if (reading.kind == Kind::LockUnusable)
        return {0,
                0,
                {},
                Failure{"cannot keep the position in " + Path() + ": " + reading.why +
                            "; remove it (only a regular file this program may open is a lock)",
                        ExitStatus::StartUp}};
    if (reading.kind == Kind::Taken)
        return {0,
                0,
                {},
                Failure{"cannot keep the position in " + Path() + ": " + reading.why +
                            "; two programs on one file would each overwrite the other's motor. "
                            "Stop the other, or give this one another --state",
                        ExitStatus::StartUp}};
    if (reading.kind == Kind::Bad) {
        held_ = true;
        record_.doubt = PositionRecord::Doubt::Unknown;
        return {0,
                0,
                "cannot use the position file " + Path() + ": " + reading.why +
                    "; starting at 0 degrees, position unknown. The file is left as it "
                    "is until you " +
                    SetHint + "; it is then kept as " + Path() + ".bad",
                {}};
    }
    record_ = reading.record;
    const std::string converted = record_.geometry == geometry_ ? std::string() : Convert();
    restored_ = "restored at " + Degrees(record_.step) + " degrees at start";
    if (record_.moving) {
        // Killed, crashed or cut off mid-move: the rotor is somewhere in the recorded range.
        if (record_.doubt != PositionRecord::Doubt::Unknown) {
            record_.doubtLow += record_.lowest - record_.step;
            record_.doubtHigh += record_.highest - record_.step;
            // Added up over many restarts, a doubt beyond any reach is no bound at all, and a
            // record must never hold what it cannot read back.
            constexpr std::int64_t reach = SteppingController::ReachableSteps;
            record_.doubt = record_.doubtLow < -reach || record_.doubtHigh > reach
                                ? PositionRecord::Doubt::Unknown
                            : record_.doubtLow == 0 && record_.doubtHigh == 0
                                ? PositionRecord::Doubt::None
                                : PositionRecord::Doubt::Bounded;
            if (record_.doubt == PositionRecord::Doubt::Unknown)
                record_.doubtLow = record_.doubtHigh = 0;
        }
        record_.moving = false;
        Post();
        if (Uncertain() && converted.empty())
            return {record_.step,
                    record_.phaseOffset,
                    "the motor was moving when the program last stopped (killed or power "
                    "lost): it stands " +
                        WhereItStands(record_.step) + "; starting at " + Degrees(record_.step) +
                        " degrees, uncertain until you " + SetHint,
                    {}};
    }
    if (!converted.empty()) {
        Post();
        return {record_.step,
                record_.phaseOffset,
                converted + ": it stands " + WhereItStands(record_.step) + "; starting at " +
                    Degrees(record_.step) + " degrees, uncertain until you " + SetHint,
                {}};
    }
    std::string line = "position restored from " + Path() + ": " + Degrees(record_.step) +
                       " degrees (step " + std::to_string(record_.step) + ")";
    if (Uncertain())
        line += ", uncertain: it stands " + WhereItStands(record_.step) + " until you " + SetHint;
    return {record_.step, record_.phaseOffset, line, {}};
}

std::string PositionMemory::Convert()
{
    const StepGeometry from = record_.geometry;
    const auto steps = [&](std::int64_t step) { return geometry_.StepsFor(from.DegreesAt(step)); };
    const std::int64_t step = InReach(std::round(steps(record_.step)));
    // The coils the rotor was left at, so the first write pulls it nowhere.
    const int phase = from.PhaseOf(record_.step, record_.phaseOffset);
    record_.phaseOffset =
        geometry_.PhaseOf(-step, geometry_.PhaseEnergising(from.CoilPattern(phase)));
    if (record_.moving) {
        record_.lowest = std::min(InReach(std::floor(steps(record_.lowest))), step);
        record_.highest = std::max(InReach(std::ceil(steps(record_.highest))), step);
    }
    // Nearest, and a rotor left between two of the new steps: a step either way.
    if (record_.doubt != PositionRecord::Doubt::Unknown) {
        record_.doubtLow = InReach(std::floor(steps(record_.step + record_.doubtLow))) - step - 1;
        record_.doubtHigh = InReach(std::ceil(steps(record_.step + record_.doubtHigh))) - step + 1;
        record_.doubt = PositionRecord::Doubt::Bounded;
        constexpr std::int64_t reach = SteppingController::ReachableSteps;
        if (record_.doubtLow < -reach || record_.doubtHigh > reach) {
            record_.doubt = PositionRecord::Doubt::Unknown;
            record_.doubtLow = record_.doubtHigh = 0;
        }
    }
    record_.step = step;
    record_.geometry = geometry_;
    return "the position file " + Path() + " counts " + from.Description() + ", and this start " +
           geometry_.Description();
}

bool PositionMemory::CoverMove(std::int64_t currentStep, double targetSteps)
{
    if (held_)
        return true;
    const std::int64_t lowest = std::min(SteppingController::LowestRest(targetSteps), currentStep);
    const std::int64_t highest =
        std::max(SteppingController::HighestRest(targetSteps), currentStep);
    if (!record_.moving) {
        record_.moving = true;
        record_.lowest = record_.highest = record_.step;
    }
    if (lowest < record_.lowest || highest > record_.highest) {
        record_.lowest = std::min(record_.lowest, lowest);
        record_.highest = std::max(record_.highest, highest);
        Post();
    }
    if (OnDisk())
        return true;
    if (!waiting_) {
        waiting_ = true;
        slow_.start();
    }
    return false;
}

void PositionMemory::AtRest(std::int64_t step, int phaseOffset)
{
    PositionRecord rest = record_;
    rest.step = step;
    rest.phaseOffset = phaseOffset;
    rest.moving = false;
    rest.lowest = rest.highest = 0;
    if (rest == record_ && !setByHand_)
        return;
    setByHand_ = false;
    record_ = rest;
    if (!held_)
        Post();
}

void PositionMemory::SetByHand()
{
    if (held_)
        file_.SetAsideBeforeNextSave();
    held_ = false;
    setByHand_ = true; // recorded at the next rest, even where the count stays the same
    waiting_ = false;  // a move waiting for the file is dropped with its start
    slow_.stop();
    const bool wasUncertain = Uncertain();
    record_.doubt = PositionRecord::Doubt::None;
    record_.doubtLow = record_.doubtHigh = 0;
    if (wasUncertain)
        emit DoubtChanged();
}

void PositionMemory::StoppedAtSpeed(std::int64_t steps)
{
    const std::int64_t by = steps + geometry_.Phases();
    Report("the motor was stopped at speed, " + std::to_string(steps) +
           " steps short of braking to its start rate: it may have run on or skipped, so its "
           "position is uncertain by up to " +
           std::to_string(by) + " steps until you " + SetHint);
    if (record_.doubt != PositionRecord::Doubt::Unknown) {
        constexpr std::int64_t reach = SteppingController::ReachableSteps;
        record_.doubtLow = std::max(record_.doubtLow - by, -reach);
        record_.doubtHigh = std::min(record_.doubtHigh + by, reach);
        record_.doubt = PositionRecord::Doubt::Bounded;
    }
    emit DoubtChanged();
    if (!held_)
        Post();
}

void PositionMemory::Lost()
{
    if (record_.doubt == PositionRecord::Doubt::Unknown)
        return;
    record_.doubt = PositionRecord::Doubt::Unknown;
    emit DoubtChanged();
    if (!held_)
        Post();
}

void PositionMemory::Finish()
{
    file_.Finish(std::chrono::milliseconds(2000));
}

std::string PositionMemory::WhereItStands(std::int64_t step) const
{
    if (record_.doubt == PositionRecord::Doubt::Unknown)
        return "anywhere";
    return "between " + Degrees(step + record_.doubtLow) + " and " +
           Degrees(step + record_.doubtHigh) + " degrees";
}

std::string PositionMemory::Summary(std::int64_t step) const
{
    if (held_)
        return "position unknown (the file " + Path() + " could not be used)";
    if (Uncertain())
        return "position uncertain: it stands " + WhereItStands(step);
    return "position kept in " + Path() + " (" + restored_ + ")";
}

void PositionMemory::Post()
{
    posted_ = file_.Save(record_);
}

void PositionMemory::TakeSaved(std::uint64_t number, const QString& failure)
{
    // One line an outage, not one a record.
    if (!failure.isEmpty() && !failing_)
        Report("cannot record the position in " + Path() + ": " + failure.toStdString() +
               "; the motor goes on, but a restart will not know where it stands");
    else if (failure.isEmpty() && failing_)
        Report("the position file " + Path() + " is written again");
    failing_ = !failure.isEmpty();
    trusted_ = failing_; // a slow write that landed holds moves back again
    saved_ = std::max(saved_, number);
    if (waiting_ && slow_.isActive() && OnDisk())
        slowSaid_ = false; // in time again
    if (waiting_ && OnDisk())
        StopWaiting();
}

void PositionMemory::StopWaiting()
{
    if (!waiting_)
        return;
    waiting_ = false;
    slow_.stop();
    emit MayMove();
}
