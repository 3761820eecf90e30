// Reporter: how the core tells the user what the product shows as a message box.
// The GUI turns a report into a QMessageBox with the exact text and caption; the CLI
// prints it; tests record it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/translatable.h"

namespace velquor::support {

class Reporter {
public:
    virtual ~Reporter() = default;
    // An empty caption means "the application's title", as the GUI decides.
    virtual void report(std::string_view text, std::string_view caption) = 0;
    // The same box with the reason behind it as its detail line (the product's text stays as
    // it is; the detail says why). Reporters that show no detail keep the text alone.
    virtual void reportWithDetail(std::string_view text, std::string_view caption,
                                  std::string_view detail) {
        (void)detail;
        report(text, caption);
    }
    // The same with a detail the window words in the user's language; the others show its
    // English.
    virtual void reportWorded(std::string_view text, std::string_view caption,
                              const Phrase& detail) {
        reportWithDetail(text, caption, detail.english());
    }
};

// Drops every report, for callers that only look at the returned result.
class NullReporter final : public Reporter {
public:
    void report(std::string_view, std::string_view) override {}
};

// Keeps every report in order; used by the CLI to decide what to print and by tests.
class RecordingReporter final : public Reporter {
public:
    struct Entry {
        std::string text;
        std::string caption;
        bool operator==(const Entry&) const = default;
    };

    void report(std::string_view text, std::string_view caption) override {
        reportWithDetail(text, caption, {});
    }
    void reportWithDetail(std::string_view text, std::string_view caption,
                          std::string_view detail) override {
        m_entries.push_back(Entry{std::string(text), std::string(caption)});
        m_details.emplace_back(detail);
        m_detailPhrases.emplace_back();
    }
    void reportWorded(std::string_view text, std::string_view caption,
                      const Phrase& detail) override {
        reportWithDetail(text, caption, detail.english());
        m_detailPhrases.back() = detail;
    }
    const std::vector<Entry>& entries() const { return m_entries; }
    // The detail line of each entry, in the same order (empty where none was given).
    const std::vector<std::string>& details() const { return m_details; }
    // Each detail as the window words it; empty where it was given as a plain text.
    const std::vector<Phrase>& detailPhrases() const { return m_detailPhrases; }
    void clear() {
        m_entries.clear();
        m_details.clear();
        m_detailPhrases.clear();
    }

private:
    std::vector<Entry> m_entries;
    std::vector<std::string> m_details;
    std::vector<Phrase> m_detailPhrases;
};

}  // namespace velquor::support
