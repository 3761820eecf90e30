// CA and server certificate generation; see certificates.h.
#include "server/tls/certificates.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <span>
#include <string>

#include "net/host_address.h"
#include "server/tls/tls_context.h"
#include "support/atomic_file.h"

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

support::Error tlsError(std::string what) {
    const std::string details = takeTlsErrors();
    if (!details.empty()) what += ": " + details;
    return makeError(ErrorCode::Internal, std::move(what));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

bool setRandomSerial(X509* cert) {
    BIGNUM* serial = BN_new();
    // 127 bits, top bit clear: a positive serial no other certificate of ours shares.
    const bool ok = serial != nullptr &&
                    BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
                    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr;
    BN_free(serial);
    return ok;
}

X509Ptr newCertificate(EVP_PKEY* key, const char* commonName) {
    X509Ptr cert(X509_new());
    if (!cert) return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool ok = X509_set_version(cert.get(), 2) == 1 && setRandomSerial(cert.get()) &&
                    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) != nullptr &&
                    X509_set_pubkey(cert.get(), key) == 1 &&
                    X509_NAME_add_entry_by_txt(
                        name, "O", MBSTRING_ASC,
                        reinterpret_cast<const unsigned char*>("Velquor kestod"), -1, -1, 0) == 1 &&
                    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                               reinterpret_cast<const unsigned char*>(commonName),
                                               -1, -1, 0) == 1;
    return ok ? std::move(cert) : nullptr;
}

std::string pemOfKey(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return {};
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pemOfCertificate(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

support::Status writeFile(const std::filesystem::path& target, const std::string& content,
                          mode_t mode) {
    if (content.empty()) return tlsError("cannot encode " + target.string());
    // A key or certificate must be read back: a node that is no regular file is refused.
    support::OutputOptions options;
    options.streams = support::StreamTarget::Refuse;
    auto file = support::AtomicOutputFile::create(target, options);
    if (!file) return file.error();
    if (::fchmod(file->fd(), mode) != 0) {
        return makeError(ErrorCode::Io,
                         support::describeErrno("cannot set the mode of", target, errno));
    }
    if (auto status = file->write(content.data(), content.size()); !status) return status;
    return file->commit();
}

}  // namespace

std::vector<std::string> splitAddressList(std::string_view list) {
    std::vector<std::string> addresses;
    while (!list.empty()) {
        const auto comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        addresses.emplace_back(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return addresses;
}

std::string joinAddressList(const std::vector<std::string>& addresses) {
    std::string joined;
    for (const auto& address : addresses) {
        if (!joined.empty()) joined += ',';
        joined += address;
    }
    return joined;
}

std::string addressProblem(std::string_view address) {
    if (address.empty()) return "an empty address";
    if (net::parseHostAddress(address)) return {};
    return "'" + std::string(address) + "' is neither an IP address nor a DNS name";
}

support::Status createCertificates(const ServerFiles& files,
                                   const std::vector<std::string>& addresses) {
    std::string altNames;
    for (const auto& address : addresses) {
        const auto host = net::parseHostAddress(address);
        if (!host) {
            return makeError(ErrorCode::InvalidInput, addressProblem(address));
        }
        if (!altNames.empty()) altNames += ',';
        altNames += (host->isIp() ? "IP:" : "DNS:") + host->certified();
    }
    if (altNames.empty()) return makeError(ErrorCode::InvalidInput, "no address to certify");
    PkeyPtr caKey(EVP_EC_gen("P-256"));
    PkeyPtr serverKey(EVP_EC_gen("P-256"));
    if (!caKey || !serverKey) return tlsError("cannot generate ECDSA P-256 keys");

    X509Ptr ca = newCertificate(caKey.get(), "Velquor kestod CA");
    if (!ca || X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) != 1 ||
        !addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
        !addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") ||
        X509_sign(ca.get(), caKey.get(), EVP_sha256()) == 0) {
        return tlsError("cannot make the CA certificate");
    }

    // The addresses are only in the subject alternative name: clients match an address or a
    // name against that, and a common name that looks like one must not be what passes.
    X509Ptr server = newCertificate(serverKey.get(), "kestod");
    if (!server || X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) != 1 ||
        !addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature") ||
        !addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth") ||
        !addExtension(server.get(), ca.get(), NID_subject_alt_name, altNames.c_str()) ||
        !addExtension(server.get(), ca.get(), NID_subject_key_identifier, "hash") ||
        !addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always") ||
        X509_sign(server.get(), caKey.get(), EVP_sha256()) == 0) {
        return tlsError("cannot make the server certificate");
    }

    if (auto s = writeFile(files.caKey, pemOfKey(caKey.get()), 0600); !s) return s;
    if (auto s = writeFile(files.serverKey, pemOfKey(serverKey.get()), 0600); !s) return s;
    if (auto s = writeFile(files.serverCert, pemOfCertificate(server.get()), 0644); !s) return s;
    return writeFile(files.caCert, pemOfCertificate(ca.get()), 0644);
}

}  // namespace velquor::server
