// ProvisioningChannel: one request to the Kesto provisioning server per call. Each call opens a
// TLS connection to the request's port, verifies the server's certificate against the CA file
// and the server's address against the certificate, writes the whole record, reads one reply
// of at most 8 bytes and turns it into 0 (accepted), 1 (device already registered) or -1
// (refused or failed). Low-level diagnostics go to standard output, one line per failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "wire/wire_records.h"

namespace velquor::provisioning {

// Where the server is. The address is fixed at build time; tests and the command-line tool
// point elsewhere. The CA file is resolved against the current working directory.
struct KestoEndpoint {
    std::string address{wire::kDefaultServerAddress};
    std::uint16_t loginPort = wire::kLoginPort;
    std::uint16_t accountPort = wire::kAccountPort;
    std::uint16_t devicePort = wire::kDevicePort;
    std::string caFile = "cacert.pem";
};

// How long an exchange may take: a silent server must not freeze the caller.
struct ChannelTimeouts {
    std::chrono::milliseconds connect{10'000};   // TCP connect
    std::chrono::milliseconds exchange{30'000};  // connect, handshake, write and reply together
};

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

class ProvisioningChannel {
public:
    explicit ProvisioningChannel(KestoEndpoint endpoint = {}, ChannelTimeouts timeouts = {});
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
    // The last reply's bytes (up to 8), empty when none was read.
    const std::string& lastReply() const { return m_lastReply; }
    // Where the last call stopped, for a caller deciding whether sending again is safe: only
    // a Connecting failure is certain to have left the server untouched and is worth another
    // try; after Exchanging the record may have been applied even though no reply came.
    FailureStage lastFailureStage() const { return m_failureStage; }

    const KestoEndpoint& endpoint() const { return m_endpoint; }
    const ChannelTimeouts& timeouts() const { return m_timeouts; }
    void setTimeouts(ChannelTimeouts timeouts) { m_timeouts = timeouts; }
    // The caller's Cancel: an exchange still waiting on the network ends at once, unanswered,
    // with lastError() "cancelled".
    void setStopToken(std::stop_token stop) { m_stop = std::move(stop); }

    // How many exchanges of this object resumed an earlier TLS session instead of a full
    // handshake (for the benchmark and tests; resumption is only an optimisation).
    std::size_t resumedSessions() const { return m_resumedSessions; }

private:
    struct Exchange;
    struct TlsState;

    int send(std::uint16_t port, std::size_t expectedLength, bool existAllowed, const void* request,
             std::size_t length);
    int interpretReply(std::string_view buffer, bool existAllowed);

    KestoEndpoint m_endpoint;
    ChannelTimeouts m_timeouts;
    std::stop_token m_stop;
    std::unique_ptr<TlsState> m_tls;  // context and resumable sessions, made on first use
    std::string m_lastError;
    std::string m_lastReply;
    FailureStage m_failureStage = FailureStage::None;
    std::size_t m_resumedSessions = 0;
};

}  // namespace velquor::provisioning
