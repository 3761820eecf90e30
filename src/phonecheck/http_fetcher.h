// Fetching many files over HTTP and HTTPS as phones do, many at once: one libcurl multi handle
// keeps up to a bound of transfers in flight and reuses their connections, so thousands of
// small files from one server cost a few connections, not one each.
#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

#include "support/progress.h"

namespace velquor::phonecheck {

struct FetchRequest {
    std::string url;
    bool headOnly = false;  // HEAD: only whether the server has it
};

struct FetchResult {
    bool answered = false;  // a response came; otherwise error says why none did
    long status = 0;        // the HTTP status of the response
    std::string body;
    std::string error;  // "Connection refused", "SSL certificate problem: ..."
};

struct FetchOptions {
    std::size_t inFlight = 32;
    std::chrono::milliseconds connectTimeout{5000};    // TCP connect and TLS handshake
    std::chrono::milliseconds exchangeTimeout{10000};  // the request and its whole answer
    // The CA certificates an https server is checked against; empty: the system's.
    std::string caFile;
    // A phone's configuration is small: a larger answer is cut off and said to be so.
    std::size_t maxBodyBytes = 16 * 1024 * 1024;
};

// Every request's result, in the order given. progress counts finished requests; a stop
// request ends the transfers in flight, whose results say they were stopped.
std::vector<FetchResult> fetchAll(const std::vector<FetchRequest>& requests,
                                  const FetchOptions& options, support::ProgressSink& progress,
                                  std::stop_token stop = {});

// "prov.example:8443" of "https://prov.example:8443/cfg/": what a "cannot reach" names.
std::string hostOf(const std::string& url);

}  // namespace velquor::phonecheck
