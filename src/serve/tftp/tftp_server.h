// TftpServer: the phone server's TFTP side. Read requests only, in octet and netascii mode,
// with the options of tftp_packet.h; every transfer on one event loop (epoll, non-blocking
// sockets, one thread), each from a port of its own (within a range given for a firewall) or,
// behind NAT, from the listening port. The same rules as HTTP, through the phone server's own
// parts: the peer ranges, the guessing guard, the folder's lookup (any MAC spelling, en/, no
// dot parts, no link out, regular files only); transfers bounded in total and per address
// group (net::addressGroup); every request one fetch-log record (method TFTP), handed on when
// its transfer ended, completed when its last block was acknowledged.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "serve/folder/phone_folder.h"
#include "serve/log/fetch_record.h"
#include "serve/request/guessing_guard.h"
#include "serve/request/peer_ranges.h"
#include "serve/tftp/tftp_packet.h"
#include "serve/tftp/tftp_transfer.h"
#include "support/result.h"

namespace velquor::serve::tftp {

// The well-known TFTP port, which only a privileged process may bind.
inline constexpr std::uint16_t kWellKnownPort = 69;

struct TftpOptions {
    std::uint16_t port = kWellKnownPort;  // 0: a free one
    unsigned blockSizeMax = kUnfragmentedBlockSize;
    // The ports transfers are sent from; both 0: any free port.
    std::uint16_t transferPortFirst = 0;
    std::uint16_t transferPortLast = 0;
    bool singlePort = false;    // every transfer from the listening port
    unsigned maxTransfers = 0;  // 0: as many as the descriptor limit allows, at most 4,096
    unsigned perAddress = 128;  // transfers one address group may have at once
    TransferTiming timing;
};

// What the TFTP side uses of the phone server.
struct TftpServices {
    PhoneFolder& folder;
    const PeerRanges& allowed;
    GuessingGuard& guessing;
    // Each request's record once its transfer ended (or it was refused), on the loop's thread.
    std::function<void(const FetchRecord&)> ended;
};

class TftpServer {
public:
    // Listens on address (its port replaced by options.port), or on the UDP socket systemd
    // handed over for that port (socket activation), and starts the loop's thread. The error of
    // a port below 1024 refused to an ordinary user says so and what to do.
    static support::Result<std::unique_ptr<TftpServer>> start(const sockaddr_storage& address,
                                                              TftpOptions options,
                                                              TftpServices services);
    ~TftpServer();
    TftpServer(const TftpServer&) = delete;
    TftpServer& operator=(const TftpServer&) = delete;

    // Ends the loop; transfers under way end as not completed and are recorded so.
    void stop();
    std::uint16_t port() const;

    struct Loop;

private:
    explicit TftpServer(std::unique_ptr<Loop> loop);
    std::unique_ptr<Loop> m_loop;
    std::uint16_t m_port = 0;
};

// "A-B", both ports above 0 and A at most B; a usage error naming --tftp-port-range otherwise.
support::Result<std::pair<std::uint16_t, std::uint16_t>> parsePortRange(std::string_view text);

// Why binding port failed with err, and what to do when it was a privileged port.
std::string bindFailure(std::uint16_t port, int err);

}  // namespace velquor::serve::tftp
