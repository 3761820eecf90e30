// The phone server's state, shared by its request phases: the server itself (phone_server.cpp),
// the answer to a request (request_answer.cpp) and its record once it ended (request_record.cpp).
// Internal to src/serve/server.
#pragma once

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "serve/folder/phone_folder.h"
#include "serve/log/fetch_log_writer.h"
#include "serve/log/log_summary.h"
#include "serve/request/digest_auth.h"
#include "serve/request/guessing_guard.h"
#include "serve/request/phone_certificate.h"
#include "serve/request/phone_credentials.h"
#include "serve/server/connection_guard.h"
#include "serve/server/held_connections.h"
#include "serve/server/phone_server.h"
#include "serve/server/record_queue.h"
#include "serve/status/site_status.h"
#include "serve/tftp/tftp_server.h"

namespace velquor::serve {

using Steady = std::chrono::steady_clock;

// The bytes the client's side of a connection has acknowledged so far (0 when unknown).
std::uint64_t connectionBytesAcked(int socket);

// What the server keeps of an open connection (its socket context): the guard's account of it;
// on HTTPS with phones' CAs, its client's certificate, checked at its first request and kept
// for the others that come on it; and whether an unproven asker on it was answered with a
// challenge or a refusal (its next unproven request may then wait for its turn).
struct OpenConnection {
    ConnectionGuard::Tracked* tracked = nullptr;
    std::optional<PhoneCertificate> certificate;
    bool answeredUnproven = false;
};
// The connection's, or nothing when the library knows none.
OpenConnection* openConnectionOf(MHD_Connection* connection);

struct PhoneServer::State {
    ServeOptions options;
    PhoneFolder folder;
    FetchLogWriter log;
    LogSummary summary;
    GuessingGuard guessing;
    std::unique_ptr<RecordQueue> output;  // to the caller's sink, when there is one
    std::string certificatePem;
    std::string keyPem;
    std::string phoneCasPem;  // the phones' CAs a client's certificate must chain to
    std::vector<support::Phrase> warnings;
    PhoneCredentials credentials;
    std::unique_ptr<DigestAuth> digest;  // over credentials, when there are any
    // Outlives the daemon, whose connections it tracks until the last is closed.
    std::unique_ptr<ConnectionGuard> guard;
    MHD_Daemon* daemon = nullptr;
    std::uint16_t port = 0;
    // The library's last message: why it could not start. Its serving threads may speak too.
    std::mutex libraryMutex;
    std::string libraryMessage;

    mutable std::mutex statusMutex;
    SiteStatus status;
    std::atomic<std::uint64_t> requests{0};

    std::mutex flushMutex;
    std::condition_variable flushWake;
    bool stopping = false;
    std::thread flusher;
    std::unique_ptr<tftp::TftpServer> tftp;  // when serving TFTP too; stopped first
    // Unproven askers' connections waiting for their turn; every one resumed before the
    // daemon stops.
    std::unique_ptr<HeldConnections> held;

    struct Request {
        Steady::time_point started;
        FetchRecord record;
        std::uint64_t bodyBytes = 0;
        int socket = -1;                 // the connection's, to ask what the client took
        std::uint64_t ackedAtStart = 0;  // the bytes the client had acknowledged then
        bool measured = false;           // ackedAtStart taken (a long answer's)
        Asker asker;                     // as the guessing guard counts the peer
        bool counted = false;            // its outcome counts for the guessing guard
        bool challengedOnly = false;     // a 401 that asked for credentials, none refused
        bool repeated = false;           // unproven after an unproven answer on its connection
        bool held = false;               // waits for its turn, its connection suspended
        bool letGo = false;              // resumed before its turn: only to be answered and closed
    };

    // A request whose headers came whole: its answer, or its connection held (context is set
    // to the request either way).
    MHD_Result answer(MHD_Connection* connection, const char* url, const char* method,
                      void** context);
    // A held request whose turn came: its answer, or held again.
    MHD_Result answerAfterWait(MHD_Connection* connection, const char* url, const char* method,
                               Request& request);
    // From the guessing guard's first look on: the part of a request that is done again when
    // a held request's turn comes. A challenge or refusal to an unproven asker is remembered
    // for its connection.
    MHD_Result answerUnlessHeldBack(MHD_Connection* connection, const char* url, const char* method,
                                    Request& request, Waiting waiting);
    // Who asks, what may be answered and the answer, from the proof on.
    MHD_Result answerAsker(MHD_Connection* connection, const char* url, const char* method,
                           Request& request, Waiting waiting);
    // Remembers that the connection's unproven asker was challenged or refused.
    MHD_Result answerUnproven(MHD_Connection* connection, MHD_Result answered);
    // Holds the request's connection for waitFor, or answers it at once and closes the
    // connection when no more may be held.
    MHD_Result holdOrRefuse(MHD_Connection* connection, Request& request,
                            const GuessingAdmission& admitted);
    // The certificate the connection's client sent, checked once for the connection.
    const PhoneCertificate& peerCertificate(MHD_Connection* connection);
    // Why the asker may not have the file of askedMac (a certificate or a digest user that is
    // not that phone's, no valid certificate), or nothing; an allowed certificate's proof is
    // written into the record.
    std::optional<std::string> proofRefusal(MHD_Connection* connection, const DigestOutcome& proven,
                                            std::string_view askedMac, FetchRecord& record);
    void completed(Request* request, MHD_RequestTerminationCode how);
    // A request's record once it ended, HTTP's or TFTP's: the status, the log and the sink.
    void finish(const FetchRecord& record);
    // A record's line in the log and to the caller's sink.
    void publish(const FetchRecord& record);
    // The summary lines whose interval has ended (all of them at the end).
    void publishSummaries(bool all);
    void flushLoop();
};

}  // namespace velquor::serve
