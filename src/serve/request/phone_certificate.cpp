// Phones' certificates; see phone_certificate.h.
#include "serve/request/phone_certificate.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <array>
#include <optional>

#include "mac/mac_address.h"
#include "support/file_identity.h"

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;

namespace {

// A CA file is a few certificates; anything larger is no CA file.
constexpr std::uint64_t kCaFileBytes = 1024 * 1024;

std::string refusalOf(CertificateVerdict verdict, const std::string& problem) {
    switch (verdict) {
        case CertificateVerdict::Missing:
            return "no certificate";
        case CertificateVerdict::Expired:
            return "certificate expired";
        case CertificateVerdict::NotYetValid:
            return "certificate not yet valid";
        case CertificateVerdict::NotFromCa:
            return "certificate not issued by a phones' CA";
        case CertificateVerdict::Invalid:
            return "certificate invalid: " + problem;
        case CertificateVerdict::Valid:
            break;
    }
    return {};
}

std::string joined(const std::vector<std::string>& macs) {
    std::string text;
    for (const std::string& mac : macs) text += (text.empty() ? "" : ", ") + mac;
    return text;
}

// The verdict of the library's verification status bits, the most telling first: a
// certificate from elsewhere is that, whatever its dates.
CertificateVerdict verdictOf(unsigned status) {
    if (status == 0) return CertificateVerdict::Valid;
    if ((status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) != 0)
        return CertificateVerdict::NotFromCa;
    if ((status & GNUTLS_CERT_EXPIRED) != 0) return CertificateVerdict::Expired;
    if ((status & GNUTLS_CERT_NOT_ACTIVATED) != 0) return CertificateVerdict::NotYetValid;
    return CertificateVerdict::Invalid;
}

std::string statusText(unsigned status) {
    gnutls_datum_t text{};
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) < 0)
        return "unknown reason";
    std::string words(reinterpret_cast<const char*>(text.data), text.size);
    gnutls_free(text.data);
    return words;
}

// Every text the certificate names its holder by: the subject's common names and the subject
// alternative names (DNS, URI, e-mail, other names as their bytes: a string's DER header
// before its text is only a prefix there).
std::vector<std::string> namesOf(gnutls_x509_crt_t certificate) {
    std::vector<std::string> names;
    std::string buffer(1024, '\0');
    for (unsigned index = 0;; ++index) {
        std::size_t size = buffer.size();
        if (gnutls_x509_crt_get_dn_by_oid(certificate, GNUTLS_OID_X520_COMMON_NAME, index, 0,
                                          buffer.data(), &size) < 0)
            break;
        names.emplace_back(buffer.data(), size);
    }
    for (unsigned index = 0;; ++index) {
        std::size_t size = buffer.size();
        const int type =
            gnutls_x509_crt_get_subject_alt_name(certificate, index, buffer.data(), &size, nullptr);
        if (type == GNUTLS_E_SHORT_MEMORY_BUFFER) continue;  // too long for any phone's name
        if (type < 0) break;
        if (type != GNUTLS_SAN_IPADDRESS) names.emplace_back(buffer.data(), size);
    }
    return names;
}

std::vector<std::string> macsOf(const gnutls_datum_t& der) {
    gnutls_x509_crt_t certificate = nullptr;
    if (gnutls_x509_crt_init(&certificate) < 0) return {};
    std::vector<std::string> macs;
    if (gnutls_x509_crt_import(certificate, &der, GNUTLS_X509_FMT_DER) >= 0) {
        for (const std::string& name : namesOf(certificate)) {
            for (std::string& mac : macsNamedIn(name))
                if (std::find(macs.begin(), macs.end(), mac) == macs.end())
                    macs.push_back(std::move(mac));
        }
    }
    gnutls_x509_crt_deinit(certificate);
    return macs;
}

// How many certificates a PEM text holds, and whether each may issue others.
support::Status checkCaText(const std::string& pem, const std::filesystem::path& file) {
    gnutls_x509_crt_t* list = nullptr;
    unsigned count = 0;
    const gnutls_datum_t datum{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                               static_cast<unsigned>(pem.size())};
    const int imported =
        gnutls_x509_crt_list_import2(&list, &count, &datum, GNUTLS_X509_FMT_PEM, 0);
    if (imported < 0 || count == 0) {
        return makeError(ErrorCode::InvalidInput,
                         "the phones' CA file " + file.string() +
                             " holds no PEM certificate (-----BEGIN CERTIFICATE-----)");
    }
    bool allCas = true;
    for (unsigned index = 0; index < count; ++index) {
        unsigned critical = 0;
        if (gnutls_x509_crt_get_ca_status(list[index], &critical) <= 0) allCas = false;
        gnutls_x509_crt_deinit(list[index]);
    }
    gnutls_free(list);
    if (!allCas) {
        return makeError(
            ErrorCode::InvalidInput,
            "the phones' CA file " + file.string() +
                " holds a certificate that is not a CA's (no basicConstraints CA:TRUE)");
    }
    return {};
}

}  // namespace

support::Result<std::string> readPhoneCas(const std::vector<std::filesystem::path>& files) {
    std::string pem;
    for (const std::filesystem::path& file : files) {
        auto text = support::readWholeFile(file, kCaFileBytes);
        if (!text) {
            return makeError(text.error().code,
                             "the phones' CA file cannot be used: " + text.error().message);
        }
        if (auto checked = checkCaText(*text, file); !checked) return checked.error();
        pem += *text;
        if (!pem.empty() && pem.back() != '\n') pem += '\n';
    }
    return pem;
}

PhoneCertificate checkPhoneCertificate(void* tlsSession) {
    PhoneCertificate result;
    auto* session = static_cast<gnutls_session_t>(tlsSession);
    unsigned count = 0;
    const gnutls_datum_t* chain =
        session != nullptr ? gnutls_certificate_get_peers(session, &count) : nullptr;
    if (chain == nullptr || count == 0) return result;
    unsigned status = 0;
    const int verified = gnutls_certificate_verify_peers3(session, nullptr, &status);
    if (verified < 0) {
        result.verdict = CertificateVerdict::Invalid;
        result.problem = gnutls_strerror(verified);
        return result;
    }
    result.verdict = verdictOf(status);
    if (result.verdict == CertificateVerdict::Invalid) result.problem = statusText(status);
    if (result.verdict == CertificateVerdict::Valid) result.macs = macsOf(chain[0]);
    return result;
}

CertificateDecision decideByCertificate(const PhoneCertificate& certificate,
                                        std::string_view askedMac) {
    CertificateDecision decision;
    if (certificate.verdict != CertificateVerdict::Valid) {
        decision.refusal = refusalOf(certificate.verdict, certificate.problem);
        return decision;
    }
    const std::vector<std::string>& named = certificate.macs;
    if (askedMac.empty()) {
        decision.allowed = true;
        decision.proof = "cert:" + (named.empty() ? std::string("no-mac") : named.front());
        return decision;
    }
    if (std::find(named.begin(), named.end(), askedMac) == named.end()) {
        decision.refusal = "certificate names " + (named.empty() ? "no MAC" : joined(named)) +
                           ", asked for " + std::string(askedMac);
        return decision;
    }
    decision.allowed = true;
    decision.proof = "cert:" + std::string(askedMac);
    return decision;
}

}  // namespace velquor::serve
