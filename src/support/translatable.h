// Texts of the core that the window shows in the user's language. The core words everything
// in English (the CLI, the reports and the CSV files never change with the language); a text
// the window may show is marked where it is written, so that Qt's lupdate collects it:
//
//   VELQUOR_TR_NOOP("core", "Login failed!")           a fixed text; it stays a plain literal
//   Phrase{VELQUOR_TR_NOOP("core", "row %1: no MAC address"), {"7"}}
//                                                       a text with arguments %1..%9
//   Phrase{VELQUOR_TR_NOOP("core", "sent, but no reply: %1"), {why}, markedArgument(1)}
//                                                       argument 1 is itself a marked text
//   withCause(Phrase{VELQUOR_TR_NOOP("core", "cannot read %1: %2"), {path}}, error)
//                                                       argument 2 is an earlier error, worded
//                                                       by its own phrase (support/result.h)
//
// A comment for the translator goes on the line before, as "//: what %1 and %2 are".
//
// The context is always "core". The core never links Qt: the window looks the English
// source up in its translation and fills the same arguments (app/core_texts.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Expands to its text alone; lupdate reads it as QT_TRANSLATE_NOOP(context, source).
#define VELQUOR_TR_NOOP(context, source) source

namespace velquor::support {

// A marked pattern and the arguments for its %1..%9. Empty when a text has none: the window
// then shows the English text as the core wrote it.
struct Phrase {
    const char* pattern = nullptr;
    std::vector<std::string> arguments{};
    // Bit N-1 set: argument N is a marked text too (a fixed reason inside a longer one), which
    // the window translates; the others (a MAC, a row, a file, a system's message) stay as
    // they are.
    std::uint16_t markedArguments = 0;
    // Entry N-1: argument N's own phrase, when it is a reason worded with arguments of its
    // own (an earlier error); the window words it too. Entries may be empty, or missing.
    std::vector<Phrase> argumentPhrases{};

    bool empty() const { return pattern == nullptr; }
    // The English text: each %N replaced by argument N (a %N without one stays as it is).
    std::string english() const {
        std::string text;
        if (pattern == nullptr) return text;
        for (const char* at = pattern; *at != '\0'; ++at) {
            if (at[0] == '%' && at[1] >= '1' && at[1] <= '9') {
                const auto index = static_cast<std::size_t>(at[1] - '1');
                if (index < arguments.size()) {
                    text += arguments[index];
                    ++at;
                    continue;
                }
            }
            text += *at;
        }
        return text;
    }
};

// The markedArguments bit of argument n (1-based).
constexpr std::uint16_t markedArgument(int n) {
    return static_cast<std::uint16_t>(1u << (n - 1));
}

// phrase with one more argument, a reason given in English: the window words it from
// reasonPhrase when that says the same English, else looks it up as a marked text (a text
// with no entry, such as a system's message, stays as it is).
inline Phrase withReason(Phrase phrase, std::string english, const Phrase& reasonPhrase = {}) {
    const std::size_t index = phrase.arguments.size();
    if (!reasonPhrase.empty() && reasonPhrase.english() == english) {
        phrase.argumentPhrases.resize(index + 1);
        phrase.argumentPhrases[index] = reasonPhrase;
    } else {
        phrase.markedArguments |= markedArgument(static_cast<int>(index) + 1);
    }
    phrase.arguments.push_back(std::move(english));
    return phrase;
}

}  // namespace velquor::support
