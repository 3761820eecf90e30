// Appending to a fetch log. Records are kept in memory and written by flush(), which the phone
// server calls at least every second and at its end, one write a flush. What waits is bounded:
// while the log cannot be written (a full disk, an I/O error) lines past the bound are dropped
// and counted, never held.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "serve/log/fetch_log_reader.h"
#include "support/result.h"

namespace velquor::serve {

class FetchLogWriter {
public:
    // Lines waiting for a flush beyond this many bytes are dropped.
    static constexpr std::size_t kPendingBytes = 1 << 20;

    FetchLogWriter() = default;
    ~FetchLogWriter();
    FetchLogWriter(const FetchLogWriter&) = delete;
    FetchLogWriter& operator=(const FetchLogWriter&) = delete;

    // Opens (or creates) the log for appending, creating it with its header line, and passes
    // each record it holds already to visit. A file that holds something else than a fetch
    // log is refused rather than appended to; a last line cut short is ended at once (with
    // kTornLineEnd, which leaves it out of every later reading), so the next record starts a
    // line of its own.
    support::Status open(const std::filesystem::path& path, const RecordVisitor& visit = {});
    bool isOpen() const { return m_fd >= 0; }

    void append(const FetchRecord& record);
    // Writes what has been appended; the first failure's reason stays in error(), and what
    // was not written is tried again at the next flush.
    support::Status flush();
    std::string error() const;
    // Lines dropped because the log could not take them.
    std::uint64_t dropped() const { return m_dropped.load(); }

private:
    mutable std::mutex m_mutex;
    std::string m_pending;
    std::string m_error;
    std::atomic<std::uint64_t> m_dropped{0};
    std::filesystem::path m_path;
    int m_fd = -1;
};

}  // namespace velquor::serve
