// The checks before serving; see serving_checks.h.
#include "server/tls/serving_checks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
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

using NamesPtr = std::unique_ptr<GENERAL_NAMES, void (*)(GENERAL_NAMES*)>;

NamesPtr alternativeNames(X509* certificate) {
    return NamesPtr(static_cast<GENERAL_NAMES*>(
                        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)),
                    GENERAL_NAMES_free);
}

std::string commonNameOf(X509* certificate) {
    char text[256] = {};
    const int length = X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName,
                                                 text, sizeof text);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// "127.0.0.1, kesto.example": the addresses and names a certificate is for.
std::string joinedNames(const GENERAL_NAMES* names) {
    std::string joined;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        std::string text;
        if (name->type == GEN_DNS) {
            text.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                        static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
        } else if (name->type == GEN_IPADD) {
            const int length = ASN1_STRING_length(name->d.iPAddress);
            char ip[INET6_ADDRSTRLEN] = {};
            if ((length == 4 || length == 16) &&
                ::inet_ntop(length == 4 ? AF_INET : AF_INET6,
                            ASN1_STRING_get0_data(name->d.iPAddress), ip, sizeof ip) != nullptr) {
                text = ip;
            }
        }
        if (text.empty()) continue;
        if (!joined.empty()) joined += ", ";
        joined += text;
    }
    return joined;
}

bool isWildcardAddress(const std::string& address) {
    return address == "0.0.0.0" || address == "::" || address == "[::]";
}

bool certifies(X509* certificate, const std::string& address) {
    in6_addr binary{};
    const bool ip = ::inet_pton(AF_INET, address.c_str(), &binary) == 1 ||
                    ::inet_pton(AF_INET6, address.c_str(), &binary) == 1;
    return ip ? X509_check_ip_asc(certificate, address.c_str(), 0) == 1
              : X509_check_host(certificate, address.data(), address.size(), 0, nullptr) == 1;
}

// Empty when the certificate names everything served in its alternative names.
std::string namesProblem(X509* certificate, const std::filesystem::path& path,
                         const std::vector<std::string>& served) {
    const NamesPtr names = alternativeNames(certificate);
    const std::string listed = names ? joinedNames(names.get()) : std::string();
    if (listed.empty()) {
        const std::string common = commonNameOf(certificate);
        return "the server certificate " + path.string() +
               (common.empty() ? std::string(" names no address")
                               : " names " + common + " only as its subject's common name (CN)") +
               ", and clients match an address only against a certificate's subject "
               "alternative names";
    }
    for (const auto& address : served) {
        if (isWildcardAddress(address) || certifies(certificate, address)) continue;
        return "the server certificate " + path.string() + " is for " + listed + ", not for " +
               address + ", which kestod serves on";
    }
    return {};
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
        {files.caKeyBeside, S_IRWXG | S_IRWXO, "other accounts may read the CA's key"},
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

support::Status checkServerCertificate(const ServerFiles& files,
                                       const std::vector<std::string>& served,
                                       std::string* warning) {
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
    if (auto problem = namesProblem(certificate.get(), files.serverCert, served);
        !problem.empty()) {
        return makeError(ErrorCode::InvalidInput, "refusing to serve: " + problem + renew);
    }
    const auto left = std::chrono::seconds(expires - now);
    if (left <= kExpiryWarning) {
        *warning = "warning: the server certificate " + files.serverCert.string() + " expires on " +
                   utcDate(expires) + renew;
    }
    return {};
}

}  // namespace velquor::server
