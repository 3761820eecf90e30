// Shared helpers of the end-to-end tests: accounts made on a real kestod, MAC files written to a
// temporary folder, and what the server's log says it was asked, in order.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "kestod_fixture.h"
#include "provisioning/kesto_operations.h"
#include "temp_dir.h"

namespace velquor::testing {

struct LoggedRequest {
    std::string operation;  // LOGIN, ADD, DEL, UP
    std::string user;
    std::string mac;
    std::string reply;
    auto operator<=>(const LoggedRequest&) const = default;
};
// kestod's workers log each request after replying, so two requests a client sent one after the
// other can be logged in either order: compare what was sent, not the order of the lines.
std::vector<LoggedRequest> sortedRequests(std::vector<LoggedRequest> requests);
void PrintTo(const LoggedRequest& request, std::ostream* out);

// The requests kestod logged on one port, oldest first. kestod logs a request after replying,
// so a caller that knows how many to expect waits (up to a few seconds) for at least that many.
std::vector<LoggedRequest> requestsOnPort(const KestodFixture& server, std::uint16_t port,
                                          std::size_t expected = 0);

// Adds an ordinary account (as chief) and logs it in, so its requests are authorised.
void makeOperator(const KestodFixture& server, const std::string& name,
                  const std::string& password);

// A CSV MAC file whose rows are the given cells (an empty text is an empty cell).
std::filesystem::path writeMacFile(const TempDir& dir, const std::string& name,
                                   const std::vector<std::vector<std::string>>& rows);

// The MAC addresses "02000000<prefix><nn>" (hex, the form the records carry them in) for
// nn = 0 .. count-1: unique per test.
std::vector<std::string> macAddresses(int prefix, int count);

}  // namespace velquor::testing
