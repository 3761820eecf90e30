// What the phone server's tests share: a folder of phone files, and real clients (curl and
// Python) run against a server on loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "serve/log/fetch_record.h"
#include "serve/server/phone_server.h"

namespace velquor::testing {

// The folder of the usual site: 001A2B3C4D5E.xml, 0015650a33fb.xml and common.cfg.
void writeSiteFolder(const std::filesystem::path& folder);

struct TestCertificate {
    std::string certificate;  // PEM files
    std::string key;
};

// A self-signed P-256 certificate for 127.0.0.1 that openssl makes in folder; empty paths when
// it could not.
TestCertificate makeCertificate(const std::filesystem::path& folder);

// A CA that openssl makes in folder/name (ca.pem, ca.key and what openssl ca keeps), able to
// issue phones' certificates within any dates; empty paths when it could not.
struct TestCa {
    std::filesystem::path dir;
    std::string certificate;
    std::string key;
};
TestCa makeCa(const std::filesystem::path& folder, const std::string& name);

// What a phone's certificate says: its subject (openssl's /CN=... form), its subject
// alternative names (openssl's DNS:...,URI:... form, or none) and whether its dates are long
// past.
struct PhoneIdentity {
    std::string subject;
    std::string altNames;
    bool expired = false;
};

// A P-256 certificate and key for identity, issued by ca, in ca.dir/name.pem and name.key.
TestCertificate issueCertificate(const TestCa& ca, const std::string& name,
                                 const PhoneIdentity& identity);

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// curl with --path-as-is (the path reaches the server as written), more options as given
// (shell-quoted by the caller); status 0 when curl could not get an answer.
HttpAnswer curlGet(std::uint16_t port, const std::string& path, const std::string& options = "");

// A request written byte for byte by Python over a plain socket; the status line's code, 0
// when the server closed the connection without one.
int rawRequestStatus(std::uint16_t port, const std::string& request);

// Starts velquor-cli serve with arguments on a free port of 127.0.0.1 and returns the port it
// printed (0, with a failure, when it did not start). Through a shell line when one is given:
// the program and its arguments follow it as "$@" ("exec \"$@\" >FILE"). It listens on address
// and its URL is read for host.
std::uint16_t startServe(std::unique_ptr<ChildProcess>& child, const std::filesystem::path& output,
                         std::vector<std::string> arguments, const std::string& shellLine = "",
                         const std::string& address = "127.0.0.1",
                         const std::string& host = "127.0.0.1");

// Options served on loopback from a free port, the folder dir/site unless one is given.
void serveOnLoopback(serve::ServeOptions& options, const std::filesystem::path& dir);

// Every record of a fetch log, none (with a failure) when it cannot be read.
std::vector<serve::FetchRecord> loggedRecords(const std::filesystem::path& log);

}  // namespace velquor::testing
