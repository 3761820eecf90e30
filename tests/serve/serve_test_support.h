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
#include "openssl_certificates.h"
#include "serve/log/fetch_record.h"
#include "serve/server/phone_server.h"

namespace velquor::testing {

// The folder of the usual site: 001A2B3C4D5E.xml, 0015650a33fb.xml and common.cfg.
void writeSiteFolder(const std::filesystem::path& folder);

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
