#include "operator_server.h"

#include <cstdio>
#include <exception>

#include "provisioning/kesto_operations.h"

namespace velquor::bench {

std::unique_ptr<testing::KestodFixture> startKestodOrSkip(const char* benchName,
                                                          testing::KestodOptions options) {
    try {
        return std::make_unique<testing::KestodFixture>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: skipped, kestod did not start: %s\n", benchName, e.what());
        return nullptr;
    }
}

bool addOperator(const testing::KestodFixture& server, const char* user, const char* password) {
    support::NullReporter quiet;
    const auto endpoint = server.endpoint();
    return provisioning::login(endpoint, "chief", server.chiefPassword(), quiet).ok() &&
           provisioning::addUser(endpoint, user, password, password, quiet).ok();
}

}  // namespace velquor::bench
