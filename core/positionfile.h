// SPDX-License-Identifier: MIT
// One file that holds the position record, replaced whole so a crash at any moment leaves
// the old record or the new one, never a mix: a new file beside it, written and flushed to
// the disk, renamed over the old, then the directory flushed. One program at a time keeps a
// file: it holds a lock on FILE.lock from the first read to its exit. The directory may be
// writable by others, so nothing there is followed: the new file is created afresh (never
// opened if someone planted that name) and only a regular file is ever replaced. The writes run on
// a thread of their own so a slow or stuck disk never holds up the event loop; records that come
// faster than the disk takes them are folded, the latest wins. Finished writes are told back on the
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
        // NotAFile, Taken and LockUnusable: the path must not be used at all (a FIFO, a
        // directory, a link; another program keeps it; its lock is not a file this program can
        // lock), nor anything replaced there.
        enum class Kind { Missing, Good, Bad, NotAFile, Taken, LockUnusable };
        Kind kind = Kind::Missing;
        PositionRecord record;
        std::string why; // all but Missing and Good: what is wrong
    };
    // On the caller's thread, at start: takes the lock, then reads.
    Reading Read();

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
    // True once FILE.lock is locked for this process, else false with the reading saying why.
    bool Lock(Reading& reading);

    std::string path_;
    std::shared_ptr<Writer> writer_;
    int lock_ = -1;
};
