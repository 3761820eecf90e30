// The checks before serving; see serving_checks.h.
#include "server/tls/serving_checks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <set>

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

// The text of one alternative name: a DNS name as written, an IP address in its usual form;
// empty for any other kind.
std::string nameText(const GENERAL_NAME* name) {
    if (name->type == GEN_DNS) {
        return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                           static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
    }
    if (name->type != GEN_IPADD) return {};
    const int length = ASN1_STRING_length(name->d.iPAddress);
    char ip[INET6_ADDRSTRLEN] = {};
    if ((length == 4 || length == 16) &&
        ::inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(name->d.iPAddress), ip,
                    sizeof ip) != nullptr) {
        return ip;
    }
    return {};
}

// "127.0.0.1, kesto.example": the addresses and names a certificate is for.
std::vector<std::string> listedNames(const GENERAL_NAMES* names) {
    std::vector<std::string> listed;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        if (auto text = nameText(sk_GENERAL_NAME_value(names, i)); !text.empty()) {
            listed.push_back(std::move(text));
        }
    }
    return listed;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
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

// The addresses a name or address stands for, as text; an address stands for itself.
std::set<std::string> addressesOf(const std::string& nameOrAddress) {
    std::set<std::string> found;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (::getaddrinfo(nameOrAddress.c_str(), nullptr, &hints, &results) != 0) return found;
    for (const addrinfo* at = results; at != nullptr; at = at->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw =
            at->ai_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(at->ai_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<sockaddr_in6*>(at->ai_addr)->sin6_addr);
        if (::inet_ntop(at->ai_family, raw, text, sizeof text) != nullptr) found.insert(text);
    }
    ::freeaddrinfo(results);
    return found;
}

// Whether a name or address the certificate lists is, or resolves to, one of the served
// address's: clients that connect by that name reach what kestod serves on.
bool reachedThroughListed(const std::vector<std::string>& listed, const std::string& served) {
    const auto servedAddresses = addressesOf(served);
    for (const auto& name : listed) {
        for (const auto& address : addressesOf(name)) {
            if (servedAddresses.contains(address)) return true;
        }
    }
    return false;
}

// A refusal when the certificate names nothing clients could match; a warning for each served
// address nothing in it is for or resolves to (clients may still reach it by a name only
// their resolver knows).
std::string namesProblem(X509* certificate, const std::filesystem::path& path,
                         const std::vector<std::string>& served,
                         std::vector<std::string>* warnings) {
    const NamesPtr names = alternativeNames(certificate);
    const auto listed = names ? listedNames(names.get()) : std::vector<std::string>();
    if (listed.empty()) {
        const std::string common = commonNameOf(certificate);
        return "the server certificate " + path.string() +
               (common.empty() ? std::string(" names no address")
                               : " names " + common + " only as its subject's common name (CN)") +
               ", and clients match an address only against a certificate's subject "
               "alternative names";
    }
    for (const auto& address : served) {
        if (isWildcardAddress(address) || certifies(certificate, address) ||
            reachedThroughListed(listed, address)) {
            continue;
        }
        warnings->push_back("warning: the server certificate " + path.string() + " is for " +
                            joined(listed) + ", none of which is or resolves to " + address +
                            ", which kestod serves on: clients that connect by another name "
                            "or address will not trust it");
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
                                       std::vector<std::string>* warnings) {
    warnings->clear();
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
    if (auto problem = namesProblem(certificate.get(), files.serverCert, served, warnings);
        !problem.empty()) {
        return makeError(ErrorCode::InvalidInput, "refusing to serve: " + problem + renew);
    }
    const auto left = std::chrono::seconds(expires - now);
    if (left <= kExpiryWarning) {
        warnings->push_back("warning: the server certificate " + files.serverCert.string() +
                            " expires on " + utcDate(expires) + renew);
    }
    return {};
}

}  // namespace velquor::server
