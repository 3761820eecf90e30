// Streams a file front to back in large chunks for the digest routes, reporting progress
// and looking at the stop token between chunks. The chunk size never shows in a digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "support/progress.h"
#include "support/result.h"

namespace velquor::digest::detail {

// Small enough that a chunk read from the page cache is still in the core's own cache when the
// digest unit reads it (a 1 MiB buffer spilled out of it and cost a second trip to memory),
// large enough that the system calls cost nothing next to the digest.
inline constexpr std::size_t kFileChunkSize = std::size_t{128} << 10;

using ChunkConsumer = std::function<void(const std::uint8_t* data, std::size_t count)>;

// Reads the whole file at path into consume, chunk by chunk. On success returns the number
// of bytes read. Errors: NotFound / Io naming the path and the reason (open or read),
// Cancelled when stop is requested between chunks.
support::Result<std::uint64_t> streamFile(const std::string& path, const ChunkConsumer& consume,
                                          support::ProgressSink& progress, std::stop_token stop);

}  // namespace velquor::digest::detail
