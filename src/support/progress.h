// Progress reporting for long work. Cancellation is a std::stop_token handed to the job
// next to the sink: jobs look at it between units of work (a chunk, a device, a MAC).
#pragma once

#include <cstdint>
#include <string_view>

namespace velquor::support {

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // done and total count the job's own units (bytes, devices, MACs); total 0 = unknown.
    virtual void progress(std::uint64_t done, std::uint64_t total, std::string_view what) = 0;
};

class NullProgress final : public ProgressSink {
public:
    void progress(std::uint64_t, std::uint64_t, std::string_view) override {}
};

}  // namespace velquor::support
