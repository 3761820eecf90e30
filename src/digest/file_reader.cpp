// Chunked file streaming for the digest routes; see file_reader.h.
#include "digest/file_reader.h"

#include <memory>

#include "support/input_file.h"

namespace velquor::digest::detail {

support::Result<std::uint64_t> streamFile(const std::string& path, const ChunkConsumer& consume,
                                          support::ProgressSink& progress, std::stop_token stop) {
    auto file = support::InputFile::open(path);
    if (!file) return file.error();
    const std::uint64_t total = file->sizeForProgress();
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kFileChunkSize]);
    std::uint64_t done = 0;
    progress.progress(0, total, path);
    for (;;) {
        if (stop.stop_requested()) {
            return support::makeError(support::ErrorCode::Cancelled,
                                      "digest of '" + path + "' cancelled");
        }
        auto got = file->readFully(buffer.get(), kFileChunkSize, stop);
        if (!got) return got.error();
        // A read cut short by a stop is not the end of the file.
        if (stop.stop_requested()) continue;
        if (*got == 0) break;
        consume(buffer.get(), *got);
        done += *got;
        progress.progress(done, total, path);
        if (*got < kFileChunkSize) break;
    }
    return done;
}

}  // namespace velquor::digest::detail
