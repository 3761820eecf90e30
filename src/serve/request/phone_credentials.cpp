// The digest credentials from an htdigest file and the sheet's password column; see
// phone_credentials.h.
#include "serve/request/phone_credentials.h"

#include <string.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "digest/md5.h"
#include "digest/sha2.h"
#include "mac/mac_address.h"
#include "sheet/cell_name.h"
#include "sheet/sheet_reader.h"
#include "support/hex.h"
#include "support/input_file.h"

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;

namespace {

// An htdigest file of this many bytes holds some hundred thousand users: past it, no such file.
constexpr std::size_t kAuthFileBound = 16 * 1024 * 1024;

std::string hexOf(const std::uint8_t* bytes, std::size_t count) {
    return support::hexEncode(std::string_view(reinterpret_cast<const char*>(bytes), count));
}

bool isHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The usual spellings a phone may send its MAC in as its user name.
std::vector<std::string> userSpellings(const std::string& canonical) {
    auto separated = [&](char separator) {
        std::string text;
        for (std::size_t i = 0; i < canonical.size(); i += 2) {
            if (i > 0) text += separator;
            text += canonical.substr(i, 2);
        }
        return text;
    };
    auto upper = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return text;
    };
    std::vector<std::string> spellings{canonical, separated(':'), separated('-')};
    for (std::size_t i = 0, n = spellings.size(); i < n; ++i)
        spellings.push_back(upper(spellings[i]));
    return spellings;
}

support::Result<std::string> readWhole(const std::filesystem::path& path) {
    auto input = support::InputFile::open(path.string());
    if (!input) return input.error();
    std::string text(kAuthFileBound + 1, '\0');
    auto got = input->readFully(text.data(), text.size());
    if (!got) return got.error();
    if (*got > kAuthFileBound)
        return makeError(ErrorCode::TooLarge,
                         "the credentials file " + path.string() + " is too large for one");
    text.resize(*got);
    return text;
}

struct AuthLine {
    std::string user;
    std::string realm;
    std::string ha1;
};

// One line of an htdigest file, or why it is none.
support::Result<AuthLine> parseAuthLine(std::string_view line) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos || line.find(':', second + 1) != std::string_view::npos)
        return makeError(ErrorCode::InvalidInput, "not user:realm:HA1");
    AuthLine parsed{std::string(line.substr(0, first)),
                    std::string(line.substr(first + 1, second - first - 1)),
                    lowered(line.substr(second + 1))};
    if (parsed.user.empty()) return makeError(ErrorCode::InvalidInput, "no user name");
    if ((parsed.ha1.size() != 32 && parsed.ha1.size() != 64) || !isHex(parsed.ha1))
        return makeError(ErrorCode::InvalidInput,
                         "the HA1 is not 32 hex digits (MD5) nor 64 (SHA-256)");
    return parsed;
}

// The column of the password header in the first row, or nothing.
std::optional<std::size_t> passwordColumn(const std::vector<std::string>& header) {
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (lowered(mac::trimWhiteSpace(header[i])) == kPasswordHeader) return i;
    }
    return std::nullopt;
}

void wipe(std::string& secret) {
    ::explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

}  // namespace

std::string_view algorithmName(DigestAlgorithm algorithm) {
    return algorithm == DigestAlgorithm::Md5 ? "MD5" : "SHA-256";
}

std::string hexDigest(DigestAlgorithm algorithm, std::string_view text) {
    if (algorithm == DigestAlgorithm::Md5) {
        digest::Md5State state;
        state.start();
        state.add(text.data(), static_cast<std::uint32_t>(text.size()));
        state.finish();
        return hexOf(state.digest, sizeof state.digest);
    }
    digest::Sha2State state;
    state.start(256);
    state.add(text.data(), static_cast<std::uint32_t>(text.size()));
    std::uint8_t out[32];
    state.finish(out);
    return hexOf(out, sizeof out);
}

support::Status PhoneCredentials::addAuthFile(const std::filesystem::path& path) {
    auto text = readWhole(path);
    if (!text) return text.error();
    const std::string where = "the credentials file " + path.string();
    std::optional<std::pair<std::string, std::size_t>> realmSeen;  // and the line it was on
    std::size_t lineNumber = 0;
    for (std::size_t at = 0; at < text->size();) {
        std::size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        std::string_view line(text->data() + at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        const std::string place = where + " line " + std::to_string(lineNumber);
        auto parsed = parseAuthLine(line);
        if (!parsed)
            return makeError(ErrorCode::InvalidInput, place + ": " + parsed.error().message);
        if (!realmSeen) realmSeen.emplace(parsed->realm, lineNumber);
        if (parsed->realm != realmSeen->first)
            return makeError(ErrorCode::InvalidInput,
                             where + " holds several realms (\"" + realmSeen->first +
                                 "\" on line " + std::to_string(realmSeen->second) + ", \"" +
                                 parsed->realm + "\" on line " + std::to_string(lineNumber) +
                                 "): give one realm per file");
        Credential& user = m_users[parsed->user];
        std::string& secret = parsed->ha1.size() == 32 ? user.md5Ha1 : user.sha256Ha1;
        if (!secret.empty())
            return makeError(ErrorCode::InvalidInput,
                             place + ": the user " + parsed->user + " is there twice");
        secret = std::move(parsed->ha1);
        user.phone = mac::canonicalMac(parsed->user).value_or("");
    }
    if (!realmSeen)
        return makeError(ErrorCode::InvalidInput, where + " holds no user:realm:HA1 line");
    m_realm = realmSeen->first;
    return {};
}

support::Status PhoneCredentials::addSheetPasswords(const std::string& path) {
    std::optional<std::size_t> column;
    bool headerRead = false;
    std::size_t phones = 0;
    auto visit = [&](int row, std::vector<std::string>& cells) -> support::Status {
        if (!headerRead) {
            headerRead = true;
            column = passwordColumn(cells);
            if (!column)
                return makeError(ErrorCode::InvalidInput, "the sheet " + path + " has no " +
                                                              std::string(kPasswordHeader) +
                                                              " column in its first row");
            return {};
        }
        if (*column >= cells.size() || mac::trimWhiteSpace(cells[*column]).empty()) return {};
        std::string& password = cells[*column];
        const mac::Reading reading(cells[0]);
        if (!reading.ok()) {
            wipe(password);
            return makeError(ErrorCode::InvalidInput, "the sheet " + path + " " +
                                                          sheet::cellName(row, 1) +
                                                          ": a password for no phone (" +
                                                          mac::describe(reading.refusal()) + ")");
        }
        const std::string phone = reading.address().canonical();
        for (const std::string& user : userSpellings(phone)) {
            Credential& credential = m_users[user];
            std::string secret = user + ":" + m_realm + ":" + password;
            credential.md5Ha1 = hexDigest(DigestAlgorithm::Md5, secret);
            credential.sha256Ha1 = hexDigest(DigestAlgorithm::Sha256, secret);
            credential.phone = phone;
            wipe(secret);
        }
        wipe(password);
        ++phones;
        return {};
    };
    if (auto walked = sheet::forEachRow(path, visit); !walked) {
        if (walked.error().message.rfind("the sheet ", 0) == 0) return walked.error();
        return makeError(walked.error().code,
                         "cannot read the sheet " + path + ": " + walked.error().message);
    }
    if (!headerRead) return makeError(ErrorCode::InvalidInput, "the sheet " + path + " is empty");
    if (phones == 0)
        return makeError(ErrorCode::InvalidInput, "the " + std::string(kPasswordHeader) +
                                                      " column of the sheet " + path +
                                                      " holds no password");
    return {};
}

const Credential* PhoneCredentials::find(std::string_view user) const {
    const auto found = m_users.find(user);
    return found != m_users.end() ? &found->second : nullptr;
}

bool PhoneCredentials::offers(DigestAlgorithm algorithm) const {
    return std::any_of(m_users.begin(), m_users.end(),
                       [&](const auto& user) { return !user.second.ha1(algorithm).empty(); });
}

bool PhoneCredentials::sha256ForAll() const {
    return std::all_of(m_users.begin(), m_users.end(),
                       [](const auto& user) { return !user.second.sha256Ha1.empty(); });
}

support::Result<bool> sheetHasPasswords(const std::string& path) {
    bool found = false;
    auto walked = sheet::forEachRow(path, [&](int, std::vector<std::string>& cells) {
        found = passwordColumn(cells).has_value();
        // The first row is all it takes: the walk ends here.
        return support::Status(makeError(ErrorCode::Cancelled, "header read"));
    });
    if (!walked && walked.error().code != ErrorCode::Cancelled)
        return makeError(walked.error().code,
                         "cannot read the sheet " + path + ": " + walked.error().message);
    return found;
}

support::Result<PhoneCredentials> loadCredentials(const std::filesystem::path& authFile,
                                                  const std::string& sheetWithPasswords) {
    PhoneCredentials credentials;
    if (!authFile.empty()) {
        if (auto added = credentials.addAuthFile(authFile); !added) return added.error();
    }
    if (!sheetWithPasswords.empty()) {
        if (auto added = credentials.addSheetPasswords(sheetWithPasswords); !added)
            return added.error();
    }
    return credentials;
}

}  // namespace velquor::serve
