// The setup of a kestod folder; see server_init.h.
#include "server/commands/initialise_folder.h"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <iostream>

#include "server/requests/request_handler.h"
#include "server/store/account_store.h"
#include "server/tls/certificates.h"
#include "server/tls/phone_cas.h"
#include "support/file_identity.h"
#include "wire/wire_records.h"

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

constexpr std::size_t kGeneratedPasswordLength = 20;
constexpr std::uintmax_t kPasswordFileLimit = 4096;

support::Result<std::string> generatePassword() {
    static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;
    // Rejection sampling keeps every character equally likely.
    constexpr unsigned kLimit = 256 - 256 % kAlphabetSize;
    std::string password;
    while (password.size() < kGeneratedPasswordLength) {
        unsigned char bytes[32];
        if (RAND_bytes(bytes, sizeof bytes) != 1) {
            return makeError(ErrorCode::Internal, "cannot draw random bytes for a password");
        }
        for (const unsigned char byte : bytes) {
            if (byte < kLimit && password.size() < kGeneratedPasswordLength) {
                password += kAlphabet[byte % kAlphabetSize];
            }
        }
    }
    return password;
}

support::Status refuseExistingSetup(const ServerFiles& files) {
    for (const auto& path :
         {files.caKey, files.caKeyBeside, files.serverKey, files.serverCert, files.caCert}) {
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored)) {
            return makeError(ErrorCode::InvalidInput,
                             files.folder.string() + " already holds a kestod setup (" +
                                 path.filename().string() +
                                 "); use --force to replace its keys and certificates");
        }
    }
    return {};
}

// The administrator account exists once a setup was made: its password, the address and the
// hashing settings are replaced only on purpose.
support::Status refuseExistingDatabaseSetup(AccountStore& store, const InitOptions& options) {
    auto chief = store.findLogin(kAdministratorName);
    if (!chief) return chief.error();
    if (!chief->has_value()) return {};
    const std::string where =
        options.databaseUrl.empty()
            ? "the database " + serverFilesIn(options.folder).database.string()
            : "the database of --database";
    return makeError(ErrorCode::InvalidInput,
                     where + " already holds a kestod setup (the account " +
                         std::string(kAdministratorName) +
                         "); use --force to replace its keys, certificates and chief's password");
}

support::Status prepareFolder(const std::filesystem::path& folder) {
    std::error_code error;
    if (std::filesystem::exists(folder, error)) {
        if (!std::filesystem::is_directory(folder, error)) {
            return makeError(ErrorCode::InvalidInput, folder.string() + " is not a folder");
        }
        return {};
    }
    std::filesystem::create_directories(folder, error);
    if (error) {
        return makeError(ErrorCode::Io,
                         "cannot create folder " + folder.string() + ": " + error.message());
    }
    ::chmod(folder.c_str(), 0700);
    return {};
}

}  // namespace

support::Result<std::string> passwordFromText(std::string text, const std::string& source) {
    if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty())
        return makeError(ErrorCode::InvalidInput, "the password in " + source + " is empty");
    if (text.size() > wire::kTextFieldWidth) {
        return makeError(ErrorCode::InvalidInput, "the password in " + source + " is longer than " +
                                                      std::to_string(wire::kTextFieldWidth) +
                                                      " bytes, the most a login can carry");
    }
    if (text.find('\0') != std::string::npos) {
        return makeError(ErrorCode::InvalidInput,
                         "the password in " + source + " holds a zero byte");
    }
    return text;
}

support::Result<std::string> readPasswordFile(const std::filesystem::path& file) {
    auto content = support::readWholeFile(file, kPasswordFileLimit);
    if (!content) return content.error();
    return passwordFromText(std::move(*content), file.string());
}

support::Result<std::string> readPasswordFileOrInput(const std::string& fileOrDash) {
    if (fileOrDash != "-") return readPasswordFile(fileOrDash);
    std::string line;
    if (!std::getline(std::cin, line)) {
        return makeError(ErrorCode::InvalidInput, "no password on standard input");
    }
    return passwordFromText(std::move(line), "standard input");
}

support::Result<InitOutcome> initialiseServer(const InitOptions& options) {
    if (options.addresses.empty()) return makeError(ErrorCode::InvalidInput, "no address given");
    for (const auto& address : options.addresses) {
        if (auto problem = addressProblem(address); !problem.empty()) {
            return makeError(ErrorCode::InvalidInput, problem);
        }
    }
    if (options.iterations == 0 || options.iterations > 0x7fffffffu) {
        return makeError(ErrorCode::InvalidInput, "the iteration count must be 1 or more");
    }
    const ServerFiles files = serverFilesIn(options.folder, options.caFolder);
    // Read everything that can fail before anything is written.
    InitOutcome outcome;
    std::string password;
    if (options.adminPasswordFile) {
        auto read = readPasswordFile(*options.adminPasswordFile);
        if (!read) return read.error();
        password = std::move(*read);
    } else {
        auto generated = generatePassword();
        if (!generated) return generated.error();
        password = outcome.generatedPassword = *generated;
    }
    if (!options.phoneCas.empty()) {
        if (auto cas = readPhoneCaFiles(options.phoneCas); !cas) return cas.error();
    }
    if (auto status = prepareFolder(options.folder); !status) return status.error();
    if (!options.force) {
        if (auto status = refuseExistingSetup(files); !status) return status.error();
    }
    // The database before the keys: one that cannot be reached, or that serves another setup,
    // must leave the folder as it was, so that the corrected command can run.
    auto store = openAccountStore(StoreLocation{options.folder, options.databaseUrl},
                                  AccountStore::OpenMode::CreateIfMissing);
    if (!store) return store.error();
    if (options.databaseUrl.empty()) ::chmod(files.database.c_str(), 0600);
    if (!options.force) {
        if (auto status = refuseExistingDatabaseSetup(**store, options); !status) {
            return status.error();
        }
    }
    auto hash = hashPassword(password, options.iterations);
    if (!hash) return hash.error();
    if (auto status = prepareFolder(files.caFolder); !status) return status.error();
    if (auto status = createCertificates(files, options.addresses); !status) {
        return status.error();
    }
    // A key of an earlier release's layout would be left beside the new one, signing nothing
    // served any more.
    std::error_code ignored;
    std::filesystem::remove(files.caKeyBeside, ignored);
    if (auto s = (*store)->setSetting("address", joinAddressList(options.addresses)); !s) {
        return s.error();
    }
    if (auto s = (*store)->setSetting("pbkdf2_iterations", std::to_string(options.iterations));
        !s) {
        return s.error();
    }
    if (auto s = (*store)->putUser(kAdministratorName, *hash); !s) return s.error();
    if (!options.phoneCas.empty()) {
        if (auto kept = keepPhoneCas(files, options.phoneCas); !kept) return kept.error();
    }
    return outcome;
}

}  // namespace velquor::server
