// PhoneServer: serves one folder's files to phones over HTTP/1.1 with keep-alive, or HTTPS
// (TLS 1.2 or 1.3, AEAD suites) with a certificate and key, on libmicrohttpd (event-driven, a
// thread per core, files sent with sendfile), its connections bounded by a ConnectionGuard
// (each request's deadline, room near the cap, the per-address cap), its guessers held back by a
// GuessingGuard (serve/request/guessing_guard.h): past its network's looks, an unproven asker
// that asks again on its connection waits there, suspended, for its turn (HeldConnections).
// Given phones' CAs, every HTTPS client is asked for its certificate, and a phone's file goes
// only to the certificate naming its MAC (serve/request/phone_certificate.h). Every request is
// a fetch log record: appended to the log file, flushed at least every second, handed to the
// caller as it completes, and applied to the site's status, which the log read back at start
// has already rebuilt.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mac/file_name.h"
#include "serve/folder/phone_folder.h"
#include "serve/log/fetch_record.h"
#include "serve/request/guessing_guard.h"
#include "serve/request/peer_ranges.h"
#include "serve/server/connection_guard.h"
#include "serve/server/held_connections.h"
#include "serve/status/site_status.h"
#include "serve/tftp/tftp_server.h"
#include "support/result.h"
#include "support/translatable.h"

namespace velquor::serve {

inline constexpr std::uint16_t kDefaultPort = 8080;
// A phone's requests are a line and a few headers; anything past this is answered 414 or 431.
inline constexpr std::size_t kRequestBytesBound = 16 * 1024;
// Connections one address may hold open at once (an IPv6 host counts by its /64): a site
// behind one NAT address still boots fast, and one client cannot take every connection.
inline constexpr unsigned kConnectionsPerAddress = 128;
// A connection that sends nothing for this long is closed: an idle or slow client holds no
// worker (the workers wait on many connections at once) and, past this, no connection either.
inline constexpr unsigned kIdleSeconds = 10;
// A request must come whole within this, TLS handshake included, from its connection or from
// the end of the previous answer on a kept connection, however it drips its bytes.
inline constexpr std::chrono::milliseconds kRequestDeadline{10'000};

struct ServeOptions {
    std::filesystem::path folder;
    mac::FileNamePattern fileName;  // how the phones' files are named
    std::string address;            // an IPv4 or IPv6 address to listen on; empty: every address
    std::uint16_t port = kDefaultPort;
    std::filesystem::path tlsCertificate;  // PEM; both or neither
    std::filesystem::path tlsKey;
    PeerRanges allowed;             // empty: everyone
    std::filesystem::path logFile;  // empty: no log file
    std::vector<std::string> site;  // the site's canonical MACs; empty: no site
    unsigned threads = 0;           // 0: one per core
    // Serve plain configuration files over plain HTTP although the folder's en/ holds their
    // encrypted copies (refused otherwise: serve/folder/plain_files.h).
    bool plainFiles = false;
    std::vector<std::filesystem::path> phoneCas;  // PEM CA files phones' certificates chain to
    std::filesystem::path authFile;               // htdigest credentials: user:realm:HA1
    bool sheetPasswords = false;                  // per-phone passwords from --sheet's column
    bool noAuth = false;                          // plain files to anyone, knowingly
    // The device sheet whose http-password column sheetPasswords reads (column A the MACs).
    std::filesystem::path sheetFile;
    std::chrono::milliseconds requestDeadline = kRequestDeadline;
    // When guessers are held back and their networks' looks paced.
    GuessingLimits guessing{};
    // Unproven askers' connections that may wait for their turn at once (0: a quarter of the
    // connection places, at most kMostHeldConnections); past it such a connection is answered
    // and closed.
    std::size_t mostHeldConnections = 0;
    unsigned maxConnections = 0;  // 0: as many as the descriptor limit allows
    // TFTP beside HTTP on the same address, by the same rules (serve/tftp/tftp_server.h).
    std::optional<tftp::TftpOptions> tftp;
};

// What the window and the CLI show of a running server.
struct ServeSnapshot {
    std::vector<PhoneStatus> phones;
    SiteCounts counts;
    bool hasSite = false;
    std::uint64_t requests = 0;
};

class PhoneServer {
public:
    // Takes the records that came since its last call, oldest first.
    using RecordSink = std::function<void(const std::vector<FetchRecord>&)>;

    // Reads the log back (restoring the statuses), opens the folder and starts listening;
    // refused when plain configuration files would go to unproven askers beyond loopback
    // (checkUnprovenAskers, serve/folder/plain_files.h).
    // onRecord is given the records as the log has them (each request, save the refusals that
    // a summary line counts, and those summary lines), one call at a time, from a thread of
    // its own; records it is too slow to take are dropped and counted (outputDropped).
    static support::Result<std::unique_ptr<PhoneServer>> start(ServeOptions options,
                                                               RecordSink onRecord = {});
    ~PhoneServer();
    PhoneServer(const PhoneServer&) = delete;
    PhoneServer& operator=(const PhoneServer&) = delete;

    // Stops listening, ends the connections and flushes the log. Called by the destructor.
    void stop();

    std::uint16_t port() const;
    // The TFTP port, 0 when not serving TFTP.
    std::uint16_t tftpPort() const;
    bool usesTls() const;
    // Warnings for the person starting it (plain files over plain HTTP, plain configuration
    // files to anyone with noAuth), said once at every start.
    const std::vector<support::Phrase>& warnings() const;
    // Grows by one with every request answered: the window redraws when it changed.
    std::uint64_t requestCount() const;
    ServeSnapshot snapshot() const;
    // The log's first write failure, or empty.
    std::string logError() const;
    // Log lines dropped because the log could not be written (a full disk, an I/O error).
    std::uint64_t logDropped() const;
    // Records the sink given to start was too slow to take.
    std::uint64_t outputDropped() const;
    // The served folder looked up at its path now: missing (phones get 503) and how often it
    // went missing; folderNews (serve/folder/phone_folder.h) words the changes between looks.
    FolderHealth folderHealth() const;
    // The connections open now, and those closed or refused to keep the server's bounds.
    ConnectionCounts connections() const;
    // Unproven askers' connections waiting for their turn (a guesser's next request).
    HeldCounts heldConnections() const;

    struct State;

private:
    explicit PhoneServer(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// The URLs phones may be given for a server on port: one per address of this machine's
// interfaces that is up (loopback last), http or https.
std::vector<std::string> serverUrls(std::uint16_t port, bool tls, const std::string& address);

}  // namespace velquor::serve
