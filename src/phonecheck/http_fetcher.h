// Fetching many files over HTTP and HTTPS as phones do, many at once: one libcurl multi handle
// keeps up to a bound of transfers in flight and reuses their connections, so thousands of
// small files from one server cost a few connections, not one each.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "support/progress.h"

namespace velquor::phonecheck {

struct FetchRequest {
    std::string url;
    bool headOnly = false;  // HEAD: only whether the server has it
};

// Why no answer came, in the few kinds a person can act on; the library's own words stay in
// FetchResult::error.
enum class FetchFailure { None, Refused, TimedOut, NameNotFound, Certificate, Other };

struct FetchResult {
    bool answered = false;  // a response came; otherwise failure and error say why none did
    long status = 0;        // the HTTP status of the response
    std::string body;
    FetchFailure failure = FetchFailure::None;
    std::string error;  // the library's text: "Connection refused", "SSL certificate problem: ..."
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

// A request's result, by its index among the requests; the body is the handler's to keep or
// drop.
using FetchHandler = std::function<void(std::size_t index, FetchResult result)>;

// Each request's result handed to onResult on the calling thread as its transfer ends, so that
// only the transfers in flight hold a body. progress counts finished requests; a stop request
// ends the transfers in flight, and every request not done is handed on as stopped.
void fetchEach(const std::vector<FetchRequest>& requests, const FetchOptions& options,
               support::ProgressSink& progress, const FetchHandler& onResult,
               std::stop_token stop = {});

// Every request's result, in the order given (fetchEach, the results held).
std::vector<FetchResult> fetchAll(const std::vector<FetchRequest>& requests,
                                  const FetchOptions& options, support::ProgressSink& progress,
                                  std::stop_token stop = {});

// "prov.example:8443" of "https://prov.example:8443/cfg/": what a "cannot reach" names.
std::string hostOf(const std::string& url);
// The path of a URL ("/prov/" of "http://h:8080/prov/?x"); "/" when it has none, empty when it
// is no URL.
std::string pathOf(const std::string& url);

}  // namespace velquor::phonecheck
