// Looking the core's English up in the window's translation; see core_texts.h.
#include "app/language/core_texts.h"

#include <QCoreApplication>
#include <algorithm>
#include <string>

#include "provisioning/kesto_operations.h"

namespace velquor::app {
namespace {

constexpr const char* kContext = "core";

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The product's texts with a "%s" the core fills with a cell's text or a server's address.
constexpr std::string_view kFilledPatterns[] = {
    provisioning::kesto_text::kReplaceQuestion,    provisioning::kesto_text::kAddFailed,
    provisioning::kesto_text::kReplaceFailed,      provisioning::kesto_text::kDeleteFailed,
    provisioning::kesto_text::kServerNotAnswering,
};

// The translation of english, or a null string when the translation has no entry for it.
QString lookUp(std::string_view english) {
    const std::string source(english);
    const QString translated = QCoreApplication::translate(kContext, source.c_str());
    return translated == fromUtf8(english) ? QString() : translated;
}

QString argumentText(const support::Phrase& phrase, std::size_t index);

}  // namespace

QString coreText(std::string_view english) {
    if (QString translated = lookUp(english); !translated.isNull()) return translated;
    for (std::string_view pattern : kFilledPatterns) {
        const std::size_t hole = pattern.find("%s");
        const std::string_view before = pattern.substr(0, hole);
        const std::string_view after = pattern.substr(hole + 2);
        if (english.size() < before.size() + after.size() || !english.starts_with(before) ||
            !english.ends_with(after)) {
            continue;
        }
        const QString translated = lookUp(pattern);
        if (translated.isNull()) break;
        const std::string_view filling =
            english.substr(before.size(), english.size() - before.size() - after.size());
        QString text = translated;
        return text.replace(QStringLiteral("%s"), fromUtf8(filling));
    }
    return fromUtf8(english);
}

QString coreText(const support::Phrase& phrase) {
    if (phrase.empty()) return QString();
    QStringList arguments;
    for (std::size_t index = 0; index < phrase.arguments.size(); ++index) {
        arguments << argumentText(phrase, index);
    }
    return fillArguments(QCoreApplication::translate(kContext, phrase.pattern), arguments);
}

namespace {

// A character of a script written without spaces between its words: Han, kana, and the
// ideographic and full-width punctuation that goes with them.
bool writtenWithoutSpaces(QChar c) {
    const char16_t code = c.unicode();
    return c.script() == QChar::Script_Han || c.script() == QChar::Script_Hiragana ||
           c.script() == QChar::Script_Katakana || (code >= 0x3000 && code <= 0x303F) ||
           (code >= 0xFF00 && code <= 0xFF60);
}

// Whether the space between a and b is one such a script does not write.
bool spaceBetweenUnspaced(QChar a, QChar b) {
    return writtenWithoutSpaces(a) && writtenWithoutSpaces(b);
}

}  // namespace

QString fillArguments(const QString& pattern, const QStringList& arguments) {
    QString filled;
    for (qsizetype at = 0; at < pattern.size(); ++at) {
        const QChar digit = at + 1 < pattern.size() ? pattern[at + 1] : QChar();
        const qsizetype index = digit.unicode() - '1';
        if (pattern[at] != '%' || digit < '1' || digit > '9' || index >= arguments.size()) {
            filled += pattern[at];
            continue;
        }
        const QString& argument = arguments[index];
        if (!argument.isEmpty() && filled.size() >= 2 && filled.back() == ' ' &&
            spaceBetweenUnspaced(filled[filled.size() - 2], argument.front())) {
            filled.chop(1);
        }
        filled += argument;
        ++at;
        if (!argument.isEmpty() && at + 2 < pattern.size() && pattern[at + 1] == ' ' &&
            spaceBetweenUnspaced(argument.back(), pattern[at + 2])) {
            ++at;
        }
    }
    return filled;
}

namespace {

// Argument index of phrase: worded by its own phrase, looked up as a marked text, or as given.
QString argumentText(const support::Phrase& phrase, std::size_t index) {
    const std::string& argument = phrase.arguments[index];
    if (index < phrase.argumentPhrases.size() && !phrase.argumentPhrases[index].empty()) {
        return coreText(phrase.argumentPhrases[index]);
    }
    const bool marked = (phrase.markedArguments >> index) & 1u;
    return marked ? coreText(std::string_view(argument)) : fromUtf8(argument);
}

}  // namespace

QString coreText(const support::Error& error) {
    return error.phrase.empty() ? coreText(error.message) : coreText(error.phrase);
}

namespace {

// text with a capital first letter, when the wording that begins it is the core's own: a
// pattern that does not start with an argument, or a fixed text whose first word is a plain
// lower-case word (not a MAC, a file or a path).
QString capitalized(QString text, bool wordingFirst) {
    if (!wordingFirst || text.isEmpty() || !text.front().isLower()) return text;
    const qsizetype end = text.indexOf(QLatin1Char(' '));
    const QString firstWord = text.left(end < 0 ? text.size() : end);
    if (!std::all_of(firstWord.begin(), firstWord.end(), [](QChar c) { return c.isLetter(); }))
        return text;
    text.front() = text.front().toUpper();
    return text;
}

bool patternWordingFirst(const support::Phrase& phrase) {
    return phrase.pattern != nullptr && phrase.pattern[0] != '%';
}

}  // namespace

QString coreSentence(std::string_view english) {
    return capitalized(coreText(english), true);
}

QString coreSentence(const support::Phrase& phrase) {
    return capitalized(coreText(phrase), patternWordingFirst(phrase));
}

QString coreSentence(const support::Error& error) {
    return error.phrase.empty() ? coreSentence(std::string_view(error.message))
                                : coreSentence(error.phrase);
}

QString coreSentenceReason(const std::string& english, const support::Phrase& phrase) {
    if (!phrase.empty() && phrase.english() == english) return coreSentence(phrase);
    return coreSentence(std::string_view(english));
}

bool coreTextsTranslated() {
    return !lookUp(provisioning::kesto_text::kLoginFailed).isNull();
}

QString coreReason(const std::string& english, const support::Phrase& phrase) {
    if (!phrase.empty() && phrase.english() == english) return coreText(phrase);
    return coreText(std::string_view(english));
}

}  // namespace velquor::app
