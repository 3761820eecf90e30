// libxml2 hardening shared by every XML parser; see xml_safety.h.
#include "xmlsafe/xml_safety.h"

#include <libxml/parserInternals.h>

#include <cctype>
#include <mutex>

namespace velquor::xmlsafe {

namespace {

xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
    return nullptr;
}

std::string withoutTrailingSpace(const char* text) {
    std::string trimmed = text;
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) {
        trimmed.pop_back();
    }
    return trimmed;
}

}  // namespace

void initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        // The loader is process-wide: it also covers parsers that forget kParseOptions.
        xmlSetExternalEntityLoader(refuseExternalEntity);
    });
}

support::Phrase parseErrorPhrase(const xmlError& error) {
    //: %1 is a line number, %2 the XML library's message
    return support::Phrase{
        VELQUOR_TR_NOOP("core", "line %1: %2"),
        {std::to_string(error.line),
         withoutTrailingSpace(error.message != nullptr ? error.message : "malformed XML")}};
}

std::string describeParseError(const xmlError& error) {
    return parseErrorPhrase(error).english();
}

DiagnosticCapture::DiagnosticCapture()
    : m_previous(xmlStructuredError), m_previousContext(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(this, &DiagnosticCapture::record);
}

DiagnosticCapture::~DiagnosticCapture() {
    xmlSetStructuredErrorFunc(m_previousContext, m_previous);
}

void DiagnosticCapture::record(void* self, xmlErrorPtr error) {
    auto& capture = *static_cast<DiagnosticCapture*>(self);
    if (!capture.m_first.empty() || error == nullptr || error->message == nullptr) return;
    capture.m_first = withoutTrailingSpace(error->message);
}

}  // namespace velquor::xmlsafe
