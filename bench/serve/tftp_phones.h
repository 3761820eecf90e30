// Phones fetching their files over TFTP, many at once from one thread: each transfer a UDP
// socket of its own from one of 64 loopback addresses (127.1.0.0/16, as a site's phones come
// from many), all of them on one epoll loop, as RFC 1350 has a client do it
// (512-byte blocks, each acknowledged, the last packet sent again after a second of silence).
// A share of the packets can be dropped on the way in and out, as a lossy path would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velquor::bench {

struct TftpStorm {
    std::uint16_t port = 0;         // the server's TFTP port on 127.0.0.1
    std::size_t inFlight = 64;      // transfers at once
    unsigned dropPercent = 0;       // packets dropped each way
    std::size_t expectedBytes = 0;  // each file's size; 0: any
};

struct TftpStormOutcome {
    std::size_t served = 0;
    std::size_t failed = 0;
    std::size_t retries = 0;  // packets the phones sent again after a second of silence
    double seconds = 0;
    double slowestSeconds = 0;  // the longest one phone's fetch took
    double phonesPerSecond() const {
        return seconds > 0 ? static_cast<double>(served) / seconds : 0;
    }
};

// Fetches every name once, inFlight at a time.
TftpStormOutcome fetchOverTftp(const std::vector<std::string>& names, const TftpStorm& storm);

// A UDP port of 127.0.0.1 nobody uses at the moment.
std::uint16_t freeUdpPort();

}  // namespace velquor::bench
