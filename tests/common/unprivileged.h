// Running a check as an ordinary user: permissions do not stop root, and the test suite runs
// as root in CI, so a check that relies on them drops to the unprivileged user first.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace velquor::testing {

// Runs check where file permissions apply: in this process when it is not root, otherwise in
// a child process that has become the unprivileged user (uid and gid 65534) first. check
// returns an empty text when everything held, else what went wrong; that text is returned.
// nullopt when root could not switch user.
std::optional<std::string> runUnprivileged(const std::function<std::string()>& check);

// Gives path to the user runUnprivileged runs as (nothing when not running as root), so that
// the check meets the permissions the test set, not "no access at all".
void handOverToUnprivileged(const std::filesystem::path& path);

}  // namespace velquor::testing
