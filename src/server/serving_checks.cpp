// The checks before serving; see serving_checks.h.
#include "server/serving_checks.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// Empty when the file is safe: `forbidden` are the mode bits others must not have.
std::string modeProblem(const std::filesystem::path& path, unsigned forbidden,
                        std::string_view what) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return {};  // missing files are reported when used
    if ((status.st_mode & forbidden) == 0) return {};
    return path.string() + " is mode " + octal(status.st_mode) + ": " + std::string(what) +
           " (chmod " + octal(status.st_mode & ~forbidden) + " " + path.string() + ")";
}

std::string utcDate(std::time_t when) {
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

}  // namespace

support::Status checkFolderModes(const ServerFiles& files, bool sqliteStore) {
    struct Rule {
        const std::filesystem::path& path;
        unsigned forbidden;
        std::string_view what;
    };
    const Rule rules[] = {
        {files.folder, S_IWGRP | S_IWOTH, "other accounts may change the server's folder"},
        {files.serverKey, S_IRWXG | S_IRWXO, "other accounts may read the server's key"},
        {files.caKey, S_IRWXG | S_IRWXO, "other accounts may read the CA's key"},
    };
    for (const Rule& rule : rules) {
        if (auto problem = modeProblem(rule.path, rule.forbidden, rule.what); !problem.empty()) {
            return makeError(ErrorCode::InvalidInput, "refusing to serve: " + problem);
        }
    }
    if (sqliteStore) {
        if (auto problem = modeProblem(files.database, S_IWGRP | S_IWOTH,
                                       "other accounts may change the accounts and devices");
            !problem.empty()) {
            return makeError(ErrorCode::InvalidInput, "refusing to serve: " + problem);
        }
    }
    return {};
}

support::Status checkServerCertificate(const ServerFiles& files, std::string* warning) {
    warning->clear();
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(files.serverCert.c_str(), "rb"),
                                               std::fclose);
    if (!file) {
        return makeError(ErrorCode::NotFound, "cannot read " + files.serverCert.string());
    }
    std::unique_ptr<X509, void (*)(X509*)> certificate(
        PEM_read_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
    if (!certificate) {
        return makeError(ErrorCode::InvalidInput,
                         files.serverCert.string() + " holds no certificate");
    }
    const std::time_t now = std::time(nullptr);
    std::tm notAfter{};
    std::tm notBefore{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &notAfter) != 1 ||
        ASN1_TIME_to_tm(X509_get0_notBefore(certificate.get()), &notBefore) != 1) {
        return makeError(ErrorCode::InvalidInput,
                         files.serverCert.string() + " has an unreadable validity period");
    }
    const std::time_t expires = ::timegm(&notAfter);
    const std::time_t starts = ::timegm(&notBefore);
    const std::string renew = " (make a new one with 'kestod init --dir " + files.folder.string() +
                              " --force', then give clients the new cacert.pem)";
    if (expires <= now) {
        return makeError(ErrorCode::InvalidInput, "refusing to serve: the server certificate " +
                                                      files.serverCert.string() + " expired on " +
                                                      utcDate(expires) + renew);
    }
    if (starts > now) {
        return makeError(ErrorCode::InvalidInput, "refusing to serve: the server certificate " +
                                                      files.serverCert.string() +
                                                      " is not valid before " + utcDate(starts));
    }
    const auto left = std::chrono::seconds(expires - now);
    if (left <= kExpiryWarning) {
        *warning = "warning: the server certificate " + files.serverCert.string() + " expires on " +
                   utcDate(expires) + renew;
    }
    return {};
}

}  // namespace velquor::server
