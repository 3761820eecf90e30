// ProvisioningChannel: one request to the Kesto provisioning server per call. Each call resolves
// the server's name, opens a TLS connection to the request's port (trying the name's addresses
// in order), verifies the server's certificate against the CA file and against the name or
// address asked for, writes the whole record, reads one reply
// of at most 8 bytes and turns it into 0 (accepted), 1 (device already registered) or -1
// (refused or failed). Low-level diagnostics go to standard output, one line per failure,
// unless the program sends them elsewhere (setDiagnosticStream).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "settings/kesto_settings.h"
#include "support/result.h"
#include "wire/device_listing.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

namespace channel {
struct Exchange;
struct Failure;
}  // namespace channel

// Where every channel's diagnostic lines ("BIO_do_connect(bio)NULL<=0") go: standard output
// until a program chooses another stream, or nullptr for none. The window keeps them on
// standard output; the command line keeps its standard output for results.
void setDiagnosticStream(std::FILE* stream);

// How long an exchange may take: a silent server must not freeze the caller, and a server
// that does not even complete a handshake is found within seconds.
struct ChannelTimeouts {
    std::chrono::milliseconds connect{5'000};    // TCP connect and TLS handshake together
    std::chrono::milliseconds exchange{10'000};  // then sending the record and its reply
};

// Where the server is and how long to wait for it. Without settings: the build-time address,
// the product's ports, cacert.pem in the working directory (endpointFromSettings applies the
// settings files and the CA lookup).
struct KestoEndpoint {
    std::string address{wire::kDefaultServerAddress};  // a host name, IPv4 or IPv6 address
    std::uint16_t loginPort = wire::kLoginPort;
    std::uint16_t accountPort = wire::kAccountPort;
    std::uint16_t devicePort = wire::kDevicePort;
    std::string caFile = "cacert.pem";
    // When no CA file was found: where the lookup went and which setting names the file. It is
    // the reason given when the trust anchors cannot be loaded.
    std::string caProblem;
    support::Phrase caProblemPhrase{};  // caProblem as the window words it
    ChannelTimeouts timeouts;
};

// The endpoint the settings describe, with the CA file found by settings::findCaFile.
KestoEndpoint endpointFromSettings(
    const settings::KestoSettings& settings,
    const settings::SettingsPaths& paths = settings::defaultSettingsPaths());

// What the server showed in a test connection (one TLS handshake on the login port).
struct ServerCertificate {
    std::string subject;             // the subject's common name, or the whole subject
    std::vector<std::string> names;  // its subject alternative names: DNS names, addresses
    std::string notAfter;            // the expiry, "2027-12-08 16:30:00 UTC"
    std::chrono::system_clock::time_point expires;
    std::string issuer;
};

// One TLS handshake with a port of the server (the login port unless another is given),
// verified as every exchange is (chain, then name or address), and nothing sent: the
// certificate the server presented, or why there is none ("cannot connect to ...", "no TLS
// handshake with ... within 5 s", "the certificate of ... is for 127.0.0.1, not
// kesto.example"). Honours stop within a fraction of a second.
support::Result<ServerCertificate> testConnection(const KestoEndpoint& endpoint,
                                                  std::stop_token stop = {},
                                                  std::optional<std::uint16_t> port = {});

// The three ports in the order a session uses them: login, account (users), device.
enum class KestoPort { Login, Account, Device };
struct PortTest {
    KestoPort which;
    std::uint16_t port;
    support::Result<ServerCertificate> outcome;
};
// testConnection on each of the three ports in turn, so that a wrong account or device port
// is found before a command needs it. Stops early (the rest untried) when stop is requested.
std::vector<PortTest> testEveryPort(const KestoEndpoint& endpoint, std::stop_token stop = {});

// Results of the Send operations.
inline constexpr int kRequestAccepted = 0;
inline constexpr int kDeviceExists = 1;
inline constexpr int kRequestFailed = -1;

enum class FailureStage {
    None,        // the server replied, whatever it said
    Preparing,   // nothing left this machine: a bad record, the CA file, TLS set-up
    Connecting,  // connect or handshake failed (refused, reset, dropped) before the record
    Verifying,   // the server's certificate or address did not verify; the record stayed here
    Exchanging,  // the record was, or may have been, sent and no reply came
};

// What a server's refusal says (the reply words of wire_records.h); None when the server did
// not refuse, or did not answer at all.
enum class ServerRefusal {
    None,
    Refused,        // "NO", or a word this client does not know
    NotLoggedIn,    // no login of the user from this address: log in again
    TryAgain,       // the server could not do it now and changed nothing
    NotAcceptable,  // a name, MAC address or password the server does not take
    HeldBack,       // logins of the name from this address held back after guessing elsewhere
};

// A refusal whose reason the server gave, so the channel's lastError() is all there is to say.
inline bool refusalSaysWhy(ServerRefusal refusal) {
    return refusal != ServerRefusal::None && refusal != ServerRefusal::Refused;
}

// An error saying reason (a channel's lastError()), worded by phrase (its lastErrorPhrase())
// when that says the same English.
inline support::Error errorSaying(support::ErrorCode code, const std::string& reason,
                                  const support::Phrase& phrase) {
    if (!phrase.empty() && phrase.english() == reason) return support::makeError(code, phrase);
    return support::makeError(code, reason);
}

// Said when a server answers a listing with a plain refusal: an older server without it.
inline constexpr std::string_view kListingUnsupportedText =
    VELQUOR_TR_NOOP("core", "this server does not list devices");

class ProvisioningChannel {
public:
    // The time-outs are the endpoint's unless given here.
    explicit ProvisioningChannel(KestoEndpoint endpoint = {});
    ProvisioningChannel(KestoEndpoint endpoint, ChannelTimeouts timeouts);
    ~ProvisioningChannel();
    ProvisioningChannel(const ProvisioningChannel&) = delete;
    ProvisioningChannel& operator=(const ProvisioningChannel&) = delete;
    ProvisioningChannel(ProvisioningChannel&&) noexcept;
    ProvisioningChannel& operator=(ProvisioningChannel&&) noexcept;

    // request points at the record's bytes, length is its size (128, 192, 512); a record of
    // any other length is never sent. "YES" gives 0; "EXIST" gives 1 on the device port only;
    // anything else, and every failure, gives -1.
    int SendLoginRequest(const void* request, std::size_t length);
    int SendAccountRequest(const void* request, std::size_t length);
    int SendDeviceRequest(const void* request, std::size_t length);

    int SendLoginRequest(const wire::LoginRequest& request) {
        return SendLoginRequest(&request, sizeof request);
    }
    int SendAccountRequest(const wire::AccountRequest& request) {
        return SendAccountRequest(&request, sizeof request);
    }
    int SendDeviceRequest(const wire::DeviceRequest& request) {
        return SendDeviceRequest(&request, sizeof request);
    }

    // Why the last call did not return 0 (empty after a success), fit for a user:
    // "no reply from 10.0.0.5:44391 within 30 s", "the server's certificate ...", "refused".
    const std::string& lastError() const { return m_lastError; }
    // lastError() as a marked pattern and its arguments, when the window can word it; empty
    // otherwise (a system's or library's message).
    const support::Phrase& lastErrorPhrase() const { return m_lastErrorPhrase; }
    // The last reply's bytes (up to 8), empty when none was read.
    const std::string& lastReply() const { return m_lastReply; }
    // What the last reply's refusal said; lastError() words it for the operator.
    ServerRefusal lastRefusal() const { return m_refusal; }
    // Where the last call stopped, for a caller deciding whether sending again is safe: only
    // a Connecting failure is certain to have left the server untouched and is worth another
    // try; after Exchanging the record may have been applied even though no reply came.
    FailureStage lastFailureStage() const { return m_failureStage; }
    // The last call ran out of time (no connection, no handshake or no reply in time): the
    // server is silent, not busy, so trying again at once only waits as long again.
    bool lastFailureTimedOut() const { return m_timedOut; }
    // The last call ended because stop was requested.
    bool lastCallCancelled() const { return m_cancelled; }

    const KestoEndpoint& endpoint() const { return m_endpoint; }
    const ChannelTimeouts& timeouts() const { return m_timeouts; }
    void setTimeouts(ChannelTimeouts timeouts) { m_timeouts = timeouts; }
    // The caller's Cancel: an exchange still waiting on the network ends at once, unanswered,
    // with lastError() "cancelled".
    void setStopToken(std::stop_token stop) { m_stop = std::move(stop); }

    // How many exchanges of this object resumed an earlier TLS session instead of a full
    // handshake (for the benchmark and tests; resumption is only an optimisation).
    std::size_t resumedSessions() const { return m_resumedSessions; }

    // A LIST request on the device port (wire/device_listing.h): the page the server sent, or
    // why there is none. A reply word instead of a page is ErrorCode::Refused ("NO": the
    // server does not list devices); a reply that breaks the layout is ErrorCode::InvalidInput
    // naming what was wrong, so nothing is taken from a page that did not arrive whole. The
    // rows carry what each phone was last told when the server can say it.
    support::Result<wire::ListingPage> fetchListingPage(const wire::ListingQuery& query);

private:
    struct TlsState;

    // Connects, verifies, writes the record and lets readReply take the reply: true when it
    // did, else the failure is in lastError() and the other last*() values.
    bool transact(
        std::uint16_t port, std::size_t expectedLength, const void* request, std::size_t length,
        const std::function<std::optional<channel::Failure>(channel::Exchange&)>& readReply);
    // loginName: the name a login record carries, which a held-back refusal names.
    int send(std::uint16_t port, std::size_t expectedLength, bool existAllowed, const void* request,
             std::size_t length, std::string_view loginName = {});
    int interpretReply(std::string_view buffer, bool existAllowed, std::string_view loginName);
    support::Error listingRefusal(std::string_view reply);
    support::Result<wire::ListingPage> fetchListingPageAsked(const wire::ListingQuery& query);

    KestoEndpoint m_endpoint;
    ChannelTimeouts m_timeouts;
    std::stop_token m_stop;
    std::unique_ptr<TlsState> m_tls;  // context and resumable sessions, made on first use
    std::string m_lastError;
    support::Phrase m_lastErrorPhrase;
    std::string m_lastReply;
    FailureStage m_failureStage = FailureStage::None;
    ServerRefusal m_refusal = ServerRefusal::None;
    bool m_timedOut = false;
    bool m_cancelled = false;
    // The server refused a listing with what each phone was told: one from before it.
    bool m_listsWithoutAsked = false;
    std::size_t m_resumedSessions = 0;
};

}  // namespace velquor::provisioning
