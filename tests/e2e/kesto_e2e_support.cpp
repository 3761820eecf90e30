// Helpers of the end-to-end tests; see kesto_e2e_support.h.
#include "kesto_e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

namespace velquor::testing {

namespace {

// The value of key="..." or key=WORD in a kestod log line (escapes stay as logged).
std::string logValue(const std::string& line, const std::string& key) {
    const std::string quoted = " " + key + "=\"";
    if (auto at = line.find(quoted); at != std::string::npos) {
        const auto start = at + quoted.size();
        return line.substr(start, line.find('"', start) - start);
    }
    const std::string plain = " " + key + "=";
    if (auto at = line.find(plain); at != std::string::npos) {
        const auto start = at + plain.size();
        return line.substr(start, line.find(' ', start) - start);
    }
    return {};
}

}  // namespace

void PrintTo(const LoggedRequest& request, std::ostream* out) {
    *out << request.operation << " user=" << request.user << " mac=" << request.mac
         << " reply=" << request.reply;
}

namespace {

std::vector<LoggedRequest> loggedRequests(const KestodFixture& server, std::uint16_t port) {
    std::vector<LoggedRequest> requests;
    std::istringstream lines(server.log());
    const std::string portField = " port=" + std::to_string(port) + " ";
    for (std::string line; std::getline(lines, line);) {
        if (line.find(portField) == std::string::npos) continue;
        requests.push_back(LoggedRequest{logValue(line, "op"), logValue(line, "user"),
                                         logValue(line, "mac"), logValue(line, "reply")});
    }
    return requests;
}

}  // namespace

std::vector<LoggedRequest> requestsOnPort(const KestodFixture& server, std::uint16_t port,
                                          std::size_t expected) {
    auto requests = loggedRequests(server, port);
    for (int attempt = 0; requests.size() < expected && attempt < 250; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        requests = loggedRequests(server, port);
    }
    return requests;
}

void makeOperator(const KestodFixture& server, const std::string& name,
                  const std::string& password) {
    support::NullReporter quiet;
    const auto endpoint = server.endpoint();
    ASSERT_TRUE(provisioning::login(endpoint, "chief", server.chiefPassword(), quiet).ok());
    ASSERT_TRUE(provisioning::addUser(endpoint, name, password, password, quiet).ok());
    ASSERT_TRUE(provisioning::login(endpoint, name, password, quiet).ok());
}

std::filesystem::path writeMacFile(const TempDir& dir, const std::string& name,
                                   const std::vector<std::vector<std::string>>& rows) {
    std::string csv;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) csv += (i ? "," : "") + row[i];
        csv += "\n";
    }
    const auto path = dir / name;
    writeFile(path, csv);
    return path;
}

std::vector<std::string> macAddresses(int prefix, int count) {
    std::vector<std::string> macs;
    for (int i = 0; i < count; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "02000000%02x%02x", prefix & 0xff, i & 0xff);
        macs.emplace_back(text);
    }
    return macs;
}

std::vector<LoggedRequest> sortedRequests(std::vector<LoggedRequest> requests) {
    std::sort(requests.begin(), requests.end());
    return requests;
}

}  // namespace velquor::testing
