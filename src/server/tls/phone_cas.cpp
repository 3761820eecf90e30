// The phones' CAs and the certificates phones send; see phone_cas.h.
#include "server/tls/phone_cas.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <span>

#include "mac/names_in_text.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"

namespace velquor::server {

namespace {

using support::ErrorCode;
using support::makeError;

// A CA file is a few certificates; anything larger is no CA file.
constexpr std::uint64_t kCaFileBytes = 1024 * 1024;

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

std::string subjectOf(X509* certificate) {
    BioPtr out(BIO_new(BIO_s_mem()), BIO_free);
    X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(std::max(length, 0L)));
}

// Each certificate of a PEM text, in order; stops at the first thing that is not one.
std::vector<X509Ptr> certificatesIn(const std::string& pem) {
    std::vector<X509Ptr> certificates;
    BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    while (X509* certificate = PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate, X509_free);
    }
    ERR_clear_error();  // the end of the text reads as an error
    return certificates;
}

std::string pemOf(X509* certificate) {
    BioPtr out(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(out.get(), certificate);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(std::max(length, 0L)));
}

// The MACs one name of the certificate's subject or alternative names holds, added to macs.
void addMacsOf(std::string_view name, std::vector<std::string>& macs) {
    for (std::string& mac : mac::macsNamedIn(name)) {
        if (std::find(macs.begin(), macs.end(), mac) == macs.end()) macs.push_back(std::move(mac));
    }
}

std::vector<std::string> macsOf(X509* certificate) {
    std::vector<std::string> macs;
    X509_NAME* subject = X509_get_subject_name(certificate);
    for (int at = -1; (at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) >= 0;) {
        const ASN1_STRING* name = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
        addMacsOf(std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name)),
                                   static_cast<std::size_t>(ASN1_STRING_length(name))),
                  macs);
    }
    auto* names = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_DNS && name->type != GEN_URI && name->type != GEN_EMAIL) continue;
        const ASN1_STRING* text = name->d.ia5;
        addMacsOf(std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                   static_cast<std::size_t>(ASN1_STRING_length(text))),
                  macs);
    }
    GENERAL_NAMES_free(names);
    return macs;
}

// Verification goes on past a certificate that does not verify; the port decides by the
// result (phoneProofOf), so that such a client is answered and logged rather than cut off.
int keepHandshaking(int, X509_STORE_CTX*) {
    return 1;
}

}  // namespace

support::Result<std::string> readPhoneCaFiles(const std::vector<std::filesystem::path>& cas) {
    if (cas.empty()) return makeError(ErrorCode::Usage, "no phones' CA file given");
    std::string kept;
    for (const auto& file : cas) {
        auto text = support::readWholeFile(file, kCaFileBytes);
        if (!text) {
            return makeError(ErrorCode::InvalidInput,
                             "phones' CA " + file.string() + ": " + text.error().message);
        }
        const auto certificates = certificatesIn(*text);
        if (certificates.empty()) {
            return makeError(ErrorCode::InvalidInput,
                             "phones' CA " + file.string() + " holds no PEM certificate");
        }
        for (const auto& certificate : certificates) {
            if (X509_check_ca(certificate.get()) < 1) {
                return makeError(ErrorCode::InvalidInput,
                                 "phones' CA " + file.string() + " holds " +
                                     subjectOf(certificate.get()) +
                                     ", which is not a CA's certificate (no basicConstraints "
                                     "CA:TRUE)");
            }
            kept += pemOf(certificate.get());
        }
    }
    return kept;
}

support::Status keepPhoneCas(const ServerFiles& files,
                             const std::vector<std::filesystem::path>& cas) {
    auto pem = readPhoneCaFiles(cas);
    if (!pem) return pem.error();
    return support::writeFileAtomically(files.phoneCas, std::as_bytes(std::span(*pem)));
}

support::Result<std::vector<std::string>> phoneCaSubjects(const ServerFiles& files) {
    std::vector<std::string> subjects;
    if (!std::filesystem::exists(files.phoneCas)) return subjects;
    auto text = support::readWholeFile(files.phoneCas, kCaFileBytes);
    if (!text) return text.error();
    for (const auto& certificate : certificatesIn(*text)) {
        subjects.push_back(subjectOf(certificate.get()));
    }
    return subjects;
}

support::Status askForPhoneCertificates(SSL_CTX* context, const ServerFiles& files) {
    if (SSL_CTX_load_verify_locations(context, files.phoneCas.c_str(), nullptr) != 1) {
        ERR_clear_error();
        return makeError(ErrorCode::InvalidInput,
                         "cannot load the phones' CAs " + files.phoneCas.string());
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.phoneCas.c_str());
    if (names == nullptr) {
        ERR_clear_error();
        return makeError(ErrorCode::InvalidInput, "no phones' CA in " + files.phoneCas.string());
    }
    SSL_CTX_set_client_CA_list(context, names);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, keepHandshaking);
    static const unsigned char kSessionContext[] = "kestod-phones";
    SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1);
    // A phone asks once a boot: a session to resume would never be used, and making one (two
    // tickets, each holding the phone's certificate, sealed for it) costs every handshake.
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    return {};
}

PhoneProof phoneProofOf(SSL* ssl) {
    PhoneProof proof;
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (certificate == nullptr) return proof;
    proof.certificate = true;
    const long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
        proof.problem = X509_verify_cert_error_string(verified);
        return proof;
    }
    proof.valid = true;
    proof.macs = macsOf(certificate);
    return proof;
}

}  // namespace velquor::server
