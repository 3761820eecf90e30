// libxml2 made safe for files from outside: nothing a document names is ever fetched (no
// network, no external entity, from disk or anywhere), and libxml2's diagnostics end up in
// our error texts instead of on stderr. Every parser of the program starts here.
#pragma once

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <string>

#include "support/translatable.h"

namespace velquor::xmlsafe {

// The options every parse starts from; callers add their own (blanks, silence) to these.
inline constexpr int kParseOptions = XML_PARSE_NONET;

// Initialises libxml2 once per process and replaces its external entity loader with one that
// refuses everything. Call before the first parse; cheap after the first call.
void initialise();

// A parser error as the user reads it: "line 3: Opening and ending tag mismatch ...", the
// library's message as it gave it.
support::Phrase parseErrorPhrase(const xmlError& error);
// Its English.
std::string describeParseError(const xmlError& error);

// For its lifetime, collects what libxml2 reports outside a parser context (encoding and I/O
// trouble, which it would print on stderr) and then puts the thread's previous handler back.
class DiagnosticCapture {
public:
    DiagnosticCapture();
    ~DiagnosticCapture();
    DiagnosticCapture(const DiagnosticCapture&) = delete;
    DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;

    // The first message, without its trailing line break; empty when there was none.
    const std::string& first() const { return m_first; }

private:
    static void record(void* self, xmlErrorPtr error);

    xmlStructuredErrorFunc m_previous;
    void* m_previousContext;
    std::string m_first;
};

}  // namespace velquor::xmlsafe
