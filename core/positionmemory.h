// SPDX-License-Identifier: MIT
// The remembered position: what the position file says at start, and what it must say while
// the program runs so that a restart, however the program ended, knows where the motor
// stands. A move goes only as far as the record on the disk allows: before the motor heads
// for a target outside the recorded range, a record widening the range must be on the disk
// (or have failed, or be slow: the motor is never held hostage by a disk, and the operator is
// told once). At rest and at exit the exact position is recorded. When a record says a move
// was under way, the position is uncertain until the operator sets it.
#pragma once

#include "base/failure.h"
#include "positionfile.h"

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <optional>
#include <string>

class PositionMemory : public QObject {
    Q_OBJECT
public:
    // A record not on the disk by then no longer holds the motor back.
    static constexpr int SlowWriteMs = 1000;

    // Steps are counted in `geometry`; a record counted in another is converted at start.
    PositionMemory(std::string path, const StepGeometry& geometry, QObject* parent = nullptr);

    struct Start {
        std::int64_t step = 0;
        int phaseOffset = 0;
        std::string line; // for standard error: what was restored
        // The file cannot be used at all: the program must not start.
        Outcome refused;
    };
    // Reads the file, at start.
    Start Restore();

    // True when the motor, now at `currentStep`, may head for `targetSteps` at once; else
    // false and MayMove follows once the record on the disk covers it.
    bool CoverMove(std::int64_t currentStep, double targetSteps);
    // The motor stands at `step`: recorded if that is news.
    void AtRest(std::int64_t step, int phaseOffset);
    // The operator says where the motor stands: the doubt ends, and a bad file is kept as
    // FILE.bad before the next record replaces it. The new place is recorded at rest.
    void SetByHand();
    // The motor was stopped outright above its start rate, `steps` short of braking: it may
    // have run on or skipped, so the position is uncertain by that and a phase either way.
    void StoppedAtSpeed(std::int64_t steps);
    // Nothing bounds where the motor stands any more (homing under way or failed, or the home
    // switch missed): recorded at once, so a quit now leaves the record uncertain.
    void Lost();
    // At exit, after the last AtRest: waits (bounded) until it is on the disk.
    void Finish();

    bool Uncertain() const { return record_.doubt != PositionRecord::Doubt::None; }
    // "between 0 and 90 degrees", or "anywhere" when nothing bounds it.
    std::string WhereItStands(std::int64_t step) const;
    // For the service status: where the position is kept, and any doubt.
    std::string Summary(std::int64_t step) const;
    const std::string& Path() const { return file_.Path(); }

signals:
    void MayMove();
    void DoubtChanged();

private:
    void Post();
    // A record counted in another geometry, moved to the nearest step of this one; the line
    // that says so.
    std::string Convert();
    std::string Degrees(std::int64_t step) const;
    void TakeSaved(std::uint64_t number, const QString& failure);
    void StopWaiting();
    bool OnDisk() const { return trusted_ || saved_ >= posted_; }

    PositionFile file_;
    const StepGeometry geometry_;
    PositionRecord record_; // what the file says, or is about to
    std::string restored_;  // what the start found, for the summary
    bool held_ = false;     // a bad file: nothing is written until the position is set
    bool setByHand_ = false;
    bool failing_ = false;
    bool slowSaid_ = false;
    bool trusted_ = false; // writes fail or lag: moves go without waiting for them
    bool waiting_ = false;
    std::uint64_t posted_ = 0, saved_ = 0;
    QTimer slow_;
};
