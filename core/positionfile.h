// SPDX-License-Identifier: MIT
// One file that holds the position record, replaced whole so a crash at any moment leaves
// the old record or the new one, never a mix: a new file beside it, written and flushed to
// the disk, renamed over the old, then the directory flushed. The writes run on a thread of
// their own so a slow or stuck disk never holds up the event loop; records that come faster
// than the disk takes them are folded, the latest wins. Finished writes are told back on the
// owner's thread.
#pragma once

#include "positionrecord.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class PositionFile : public QObject {
    Q_OBJECT
public:
    explicit PositionFile(std::string path, QObject* parent = nullptr);
    ~PositionFile() override;

    struct Reading {
        enum class Kind { Missing, Good, Bad };
        Kind kind = Kind::Missing;
        PositionRecord record;
        std::string why; // Bad: what is wrong
    };
    // On the caller's thread, at start.
    Reading Read() const;

    // Queues the record; its number comes back with Saved once it is on the disk (or failed).
    std::uint64_t Save(const PositionRecord& record);
    // Before the next write, the file there now is kept as PATH.bad.
    void SetAsideBeforeNextSave();
    // At exit: waits until what is queued is written, or the time is up.
    void Finish(std::chrono::milliseconds within);

    const std::string& Path() const { return path_; }

signals:
    // failure: empty once the record is on the disk, else why it is not.
    void Saved(std::uint64_t number, const QString& failure);

private:
    struct Writer;
    std::string path_;
    std::shared_ptr<Writer> writer_;
};
