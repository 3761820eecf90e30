// DeviceWriters: the writing half of a generation run, on worker threads. The run makes each
// device's file in sheet order on its own thread and hands the bytes over; a worker writes
// them through the atomic writer (a temporary file renamed into place), digests them for the
// MD5SUMS list while they are still in the cache and, when asked, writes the encrypted copy
// too. Creating, writing and renaming files is most of a bulk run's time, and it spreads over
// the processor's cores.
//
// The hand-over queue is short, so a run holds only a few files in memory whatever its
// length. Files change hands a batch at a time, and a side wakes the other only when there
// is a batch to take or room for one: on a busy machine each wake-up is a system call. The
// outcomes come back by row, so the report keeps the sheet's order whichever worker finished
// first; they are kept by the submitting thread, so that the workers' memory does not grow
// with the run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crypto/aes.h"
#include "generator/outputs/check_sums.h"
#include "support/atomic_file.h"
#include "support/result.h"

namespace velquor::generator {

struct DeviceFiles {
    std::size_t index = 0;  // the row's place in the run, handed back with its outcome
    std::string text;       // the plain file's bytes
    std::string fileName;   // in the plain folder, and in the encrypted one for the copy
};

struct WrittenFiles {
    std::size_t index = 0;
    // The plain file; when it failed, the copy was not attempted.
    support::Status plain;
    CheckSum plainDigest{};  // the MD5SUMS digest, once written
    // The encrypted copy, when one was asked for and the plain file was written.
    support::Status encrypted;
    CheckSum encryptedDigest{};
};

class DeviceWriters {
public:
    // How many workers a run uses: one per core, at least one, at most eight (past that the
    // folder's own lock is the limit).
    static unsigned defaultWorkerCount();

    // The files go into plain and their encrypted copies (by aes) into encrypted, when there
    // is that folder; all three must outlive the writers.
    DeviceWriters(const support::OutputFolder& plain, const support::OutputFolder* encrypted,
                  const crypto::CAes& aes, unsigned workers = defaultWorkerCount());
    DeviceWriters(const DeviceWriters&) = delete;
    DeviceWriters& operator=(const DeviceWriters&) = delete;
    // Waits for what was handed over (finish()).
    ~DeviceWriters();

    // Queues one device's files; once the queue is full, waits until it is half empty. Only
    // one thread submits.
    void submit(DeviceFiles files);
    // Waits until every file handed over is written or has failed, ends the workers and
    // returns the outcomes, in no particular order. The writers take nothing after it.
    std::deque<WrittenFiles> finish();

private:
    void work();
    // Takes the next batch into batch, waiting for one; false once the writers are finishing
    // and nothing is left. Called with the lock held.
    bool takeBatch(std::unique_lock<std::mutex>& lock, std::vector<DeviceFiles>& batch);
    // Writes a batch's files (and their copies) and appends their outcomes to outcomes. An
    // exception (out of memory) fails the file it happened to.
    void write(std::span<const DeviceFiles> batch, std::vector<WrittenFiles>& outcomes) const;
    // Moves the outcomes the workers handed back into m_kept.
    void keepHandedBack();

    const support::OutputFolder& m_plain;
    const support::OutputFolder* m_encrypted;
    const crypto::CAes& m_aes;
    std::size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_queued;  // a batch was queued, or the writers are finishing
    std::condition_variable m_taken;   // a batch was taken from the queue
    std::deque<DeviceFiles> m_queue;
    // The workers' outcomes, handed back under the lock; the submitting thread swaps the
    // vector for m_handedBack, an emptied one, so both keep their room and nothing is freed.
    std::vector<WrittenFiles> m_done;
    std::vector<WrittenFiles> m_handedBack;
    // A deque, since an outcome is some hundreds of bytes and a run may have a million: they
    // are never moved again once kept.
    std::deque<WrittenFiles> m_kept;
    bool m_finishing = false;
    unsigned m_idleWorkers = 0;     // workers waiting for a batch
    bool m_submitterWaits = false;  // submit() waits for room
    std::vector<std::thread> m_workers;
};

}  // namespace velquor::generator
