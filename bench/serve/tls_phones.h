// Phones that prove themselves with certificates, for the phone-server benchmarks: a phones' CA
// and one certificate per phone made in memory with OpenSSL (its subject's common name the
// maker's SEP prefix and the phone's MAC), and a storm of them fetching over HTTPS, each from
// its own loopback source, every fetch a full TLS handshake (no session resumed) with the
// phone's certificate, one request on its connection.
#pragma once

#include <netinet/in.h>
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velquor::bench {

// A P-256 key and the certificate of it.
struct Identity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;
};

class PhonesCa {
public:
    PhonesCa();  // a new CA, valid for two days
    // A certificate for the common name, issued by this CA, on a key all of its phones share
    // (their handshakes cost the same as with a key each).
    Identity issue(const std::string& commonName);
    // The CA's certificate as a PEM file.
    void writeCertificate(const std::filesystem::path& file) const;

private:
    Identity m_ca;
    std::shared_ptr<EVP_PKEY> m_phoneKey;
    long m_serial = 1;
};

struct TlsPhone {
    in_addr_t source = 0;
    std::string path;
    std::size_t size = 0;  // the body it must get (with a 200)
    Identity identity;
    int status = 200;  // the answer it must get; another's body is whatever its server sends
};

struct TlsFetchOutcome {
    double seconds = 0;
    std::size_t served = 0;  // the status the phone must get (a 200 with the whole body)
    std::size_t failed = 0;
    std::map<int, std::size_t> statuses;  // 0: no answer
    std::vector<double> requestMs;        // each served fetch, from its connect to its last byte
    double requestsPerSecond() const { return seconds > 0 ? served / seconds : 0; }
};

// Every phone fetches once from 127.0.0.1:port, inFlight at once (a thread each).
TlsFetchOutcome fetchAllOverTls(const std::vector<TlsPhone>& phones, std::uint16_t port,
                                std::size_t inFlight);

}  // namespace velquor::bench
