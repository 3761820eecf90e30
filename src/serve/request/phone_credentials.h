// The credentials the phone server's digest authentication checks: every user's hashed secret
// (HA1 = H(user:realm:password), as htdigest writes it), never a password. They come from an
// htdigest file (user:realm:HA1, one realm per file; an MD5 HA1 of 32 hex digits as htdigest
// writes it, or a SHA-256 one of 64) and from the http-password column of the device sheet,
// whose passwords are hashed as each row is read, our copies of them wiped at once. A user whose
// name is a MAC address (any spelling) is that phone's: it may fetch that phone's file and the
// files naming no phone. Any other user is a site user, who may fetch every file.
//
// The realm is the auth file's; without one it is kDefaultRealm. The sheet's passwords are
// hashed in that realm, so one server has one realm, and a phone's user is its MAC in each usual
// spelling (12 digits, with colons or dashes, lower or upper case): the phone may send any.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/result.h"

namespace velquor::serve {

inline constexpr std::string_view kDefaultRealm = "velquor";
// The sheet's column of per-phone passwords, found by its header (case and spaces aside).
inline constexpr std::string_view kPasswordHeader = "http-password";

enum class DigestAlgorithm { Md5, Sha256 };

// "MD5", "SHA-256": the names RFC 7616 gives them.
std::string_view algorithmName(DigestAlgorithm algorithm);

// The hex digest of TEXT.
std::string hexDigest(DigestAlgorithm algorithm, std::string_view text);

struct Credential {
    std::string md5Ha1;     // 32 hex digits, or empty
    std::string sha256Ha1;  // 64 hex digits, or empty
    std::string phone;      // the canonical MAC of the phone the user is, or empty: a site user

    const std::string& ha1(DigestAlgorithm algorithm) const {
        return algorithm == DigestAlgorithm::Md5 ? md5Ha1 : sha256Ha1;
    }
};

class PhoneCredentials {
public:
    PhoneCredentials() = default;

    // Reads an htdigest file: its realm becomes the realm. Read it before the sheet.
    support::Status addAuthFile(const std::filesystem::path& path);
    // Hashes the passwords of the sheet's http-password column (column A the phone's MAC),
    // a phone's last row counting; an error for a sheet without the column.
    support::Status addSheetPasswords(const std::string& path);

    const std::string& realm() const { return m_realm; }
    bool empty() const { return m_users.empty(); }
    // The user as the client names it, or nothing.
    const Credential* find(std::string_view user) const;
    // Whether some user has a secret for ALGORITHM: only such a challenge is worth sending.
    bool offers(DigestAlgorithm algorithm) const;
    // Whether every user has a SHA-256 secret: then it is offered first, else MD5 is, since a
    // client answers the first challenge it can and an htdigest file holds MD5 secrets.
    bool sha256ForAll() const;
    std::size_t userCount() const { return m_users.size(); }

private:
    // Looked up by the name a request gives, without a copy of it.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };

    std::string m_realm{kDefaultRealm};
    std::unordered_map<std::string, Credential, NameHash, std::equal_to<>> m_users;
};

// Whether the sheet's first row has the http-password header: the CLI and the window use its
// column when it has.
support::Result<bool> sheetHasPasswords(const std::string& path);

// The credentials of the server's options: the auth file, then the sheet's column; empty when
// neither is given.
support::Result<PhoneCredentials> loadCredentials(const std::filesystem::path& authFile,
                                                  const std::string& sheetWithPasswords);

}  // namespace velquor::serve
