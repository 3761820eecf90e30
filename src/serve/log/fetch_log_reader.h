// Reading a fetch log back: a pass over its records, oldest first, in bounded memory (a piece
// of the file and the record being read), so a log of a long deployment reads in seconds
// whatever its size.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "serve/log/fetch_record.h"
#include "support/result.h"

namespace velquor::serve {

using RecordVisitor = std::function<void(const FetchRecord&)>;

// What a pass over a log found besides its records.
struct FetchLogShape {
    std::uint64_t records = 0;
    std::uint64_t tornLines = 0;  // lines cut short that a start ended, left out
    bool lastLineOpen = false;    // the file ends in a line cut short (left out of the records)
};

// Calls visit with each record of the fetch log at path, oldest first (the record it is given
// lives only for the call). A line cut short (the server stopped in the middle of a write),
// last or ended by a later start, is left out; a file that is no fetch log, or a line that is no
// record, is an error naming the file and the line.
support::Result<FetchLogShape> readFetchLog(const std::filesystem::path& path,
                                            const RecordVisitor& visit);

// Every record of a fetch log in memory: for a log known to be small, such as a test's. The
// server and the site's readers go through the pass above.
support::Result<std::vector<FetchRecord>> readFetchLog(const std::filesystem::path& path);

}  // namespace velquor::serve
