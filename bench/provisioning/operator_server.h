// The kestod the registration benchmarks run against: started on loopback, with one operator
// account made by chief.
#pragma once

#include <memory>

#include "kestod_fixture.h"

namespace velquor::bench {

// A kestod of its own; null, with the reason on standard error, when it could not start (the
// benchmark named is then skipped, not failed).
std::unique_ptr<testing::KestodFixture> startKestodOrSkip(const char* benchName,
                                                          testing::KestodOptions options = {});

// chief logs in and adds the operator account; false when either was refused.
bool addOperator(const testing::KestodFixture& server, const char* user, const char* password);

}  // namespace velquor::bench
