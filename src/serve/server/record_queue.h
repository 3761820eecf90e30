// RecordQueue: hands the server's records to a reader (the CLI's standard output, the window)
// from a thread of its own, so a reader that is slow or stuck (a pipe nobody reads, a terminal
// held by less) never holds a serving thread. The queue is bounded: when the reader falls
// behind, further records are dropped and counted, and serving goes on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "serve/log/fetch_record.h"

namespace velquor::serve {

class RecordQueue {
public:
    // Takes the records that came since its last call, oldest first.
    using Sink = std::function<void(const std::vector<FetchRecord>&)>;
    static constexpr std::size_t kMostWaiting = 4096;

    // Starts the thread that hands sink the records pushed, in order.
    explicit RecordQueue(Sink sink, std::size_t mostWaiting = kMostWaiting);
    // Hands the sink what is still waiting, for as long as it takes them; a sink that takes
    // nothing for a while is left behind (its thread stays blocked in it, alone).
    ~RecordQueue();
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    // Never waits for the sink: the record is dropped and counted when the queue is full.
    void push(const FetchRecord& record);
    std::uint64_t dropped() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace velquor::serve
