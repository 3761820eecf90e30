// Phones fetching their files from a server on loopback, as many at once as asked, each from
// its own source address: one epoll loop, HTTP/1.1 with keep-alive (or Connection: close). A
// phone sends its next request on the connection it has; when the server closes it (after
// its answer or while idle), the phone opens another, so the same run measures a server that
// keeps connections and one that does not.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velquor::bench {

// The file a phone asks for and the size its body must have (kAnySize: any).
struct Fetch {
    static constexpr std::size_t kAnySize = static_cast<std::size_t>(-1);
    std::string path;
    std::size_t size = kAnySize;
};

struct Phone {
    in_addr_t source = 0;
    std::vector<Fetch> fetches;
    // With a user, a 401's digest challenge is answered on the same connection (the first
    // request, expecting it, asks to keep the connection), and later fetches reuse its nonce.
    std::string user{};
    std::string password{};
};

struct FetchPlan {
    std::uint16_t port = 0;
    std::size_t inFlight = 64;  // phones fetching at once
    bool keepAlive = true;      // false: every request says Connection: close
    // A phone whose connection is refused or closed before an answer tries again (after a
    // tenth of a second) until its deadline, as a phone does; otherwise that request failed.
    bool retry = false;
    std::chrono::milliseconds phoneDeadline{30000};
    // When set, the run ends once it is true: the phones still fetching are left as they are
    // (an attack run beside a measured storm, until the storm is done).
    const std::atomic<bool>* stop = nullptr;
    // When set, counts the answers as they come (another thread watches the run).
    std::atomic<std::size_t>* answers = nullptr;
};

struct FetchOutcome {
    double seconds = 0;
    std::size_t requestsServed = 0;  // 200 with the whole file
    std::size_t requestsFailed = 0;
    std::size_t phonesServed = 0;         // every file of the phone served
    std::size_t phonesLeft = 0;           // still fetching when the run was stopped
    std::size_t connections = 0;          // connections opened
    std::map<int, std::size_t> statuses;  // answers by status; 0: no answer
    std::vector<double> requestMs;        // each served request, from its first byte sent
    std::vector<double> phoneMs;  // each phone: from its first connection to its last answer,
                                  // or to when it gave up
    double requestsPerSecond() const { return seconds > 0 ? requestsServed / seconds : 0; }
};

FetchOutcome fetchAll(const std::vector<Phone>& phones, const FetchPlan& plan);

// The value below which SHARE (0.99) of VALUES lie; 0 for none.
double percentile(std::vector<double> values, double share);

}  // namespace velquor::bench
