// NumberFormat: a code is parsed into sections once; each value picks its section (by sign,
// zero or condition) and the renderer that section calls for.
#include "sheet/number_format.h"

#include <cmath>
#include <optional>
#include <vector>

#include "sheet/format_code.h"
#include "sheet/format_render.h"

namespace velquor::sheet {

using format::Compare;
using format::Condition;
using format::Section;

struct NumberFormat::Compiled {
    std::vector<Section> sections;
    bool hasConditions = false;
};

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool longerThanAllowed(std::string_view code) {
    if (code.size() <= kMaxFormatCodeCharacters) return false;
    std::size_t characters = 0;
    for (unsigned char c : code) {
        characters += (c & 0xC0) != 0x80 ? 1 : 0;
        if (characters > kMaxFormatCodeCharacters) return true;
    }
    return false;
}

std::string renderSection(const Section& section, double value, bool date1904) {
    if (section.isDate) return format::renderDate(section, value, date1904);
    if (section.hasGeneral) return format::renderGeneralSection(section, value);
    if (section.hasFraction) return format::renderFraction(section, value);
    if (section.hasDigits) return format::renderNumber(section, value);
    if (section.hasText) return format::generalUnsigned(value);  // "@" alone shows General
    format::DisplayText out;
    format::assemble(section, format::SlotTexts(section.tokens.size()), {}, out);
    return out.take();
}

struct Choice {
    std::size_t section = 0;
    bool showSign = false;
};

// Sections with conditions: the first whose condition holds, the second defaulting to
// "< 0" when there is a third; a value that fits none has nothing to show.
std::optional<Choice> chooseByCondition(const std::vector<Section>& sections, std::size_t numeric,
                                        double value) {
    const Condition first = sections[0].condition;
    Condition second = numeric > 1 ? sections[1].condition : Condition{};
    if (numeric > 2 && second.compare == Compare::None) second = {Compare::Less, 0};
    Choice choice;
    if (first.matches(value)) {
        choice.section = 0;
    } else if (numeric > 1 && second.matches(value)) {
        choice.section = 1;
    } else if (numeric > 2) {
        choice.section = 2;
    } else {
        return std::nullopt;
    }
    choice.showSign = value < 0 && !sections[choice.section].condition.explicitlyNegative() &&
                      !(choice.section == 1 && sections[1].condition.compare == Compare::None);
    return choice;
}

Choice chooseBySign(std::size_t numeric, double value) {
    if (value < 0 && numeric >= 2) return {1, false};
    if (value == 0 && numeric >= 3) return {2, false};
    return {0, value < 0};
}

// A trailing text section takes no part in choosing a section for a number.
std::size_t numericSections(const std::vector<Section>& sections) {
    std::size_t numeric = sections.size();
    if (numeric == 4 ||
        (numeric > 1 && sections[numeric - 1].hasText && !sections[numeric - 1].hasDigits)) {
        --numeric;
    }
    return numeric;
}

}  // namespace

std::string formatGeneral(double value) {
    if (!std::isfinite(value)) return "#NUM!";
    const std::string text = format::generalUnsigned(std::fabs(value));
    return value < 0 ? "-" + text : text;
}

NumberFormat::NumberFormat() = default;

support::Result<NumberFormat> NumberFormat::compile(std::string_view code) {
    if (longerThanAllowed(code)) {
        return support::makeError(support::ErrorCode::TooLarge,
                                  "longer than the " + std::to_string(kMaxFormatCodeCharacters) +
                                      " characters a number format may have");
    }
    NumberFormat format;
    if (code.empty() || lower(code) == "general") return format;
    auto compiled = std::make_shared<Compiled>();
    compiled->sections = format::parseFormatCode(code);
    for (const Section& section : compiled->sections) {
        compiled->hasConditions =
            compiled->hasConditions || section.condition.compare != Compare::None;
    }
    format.m_compiled = std::move(compiled);
    return format;
}

NumberFormat NumberFormat::fromCode(std::string_view code) {
    auto compiled = compile(code);
    return compiled ? std::move(*compiled) : NumberFormat();
}

NumberFormat NumberFormat::fromBuiltinId(int id) {
    return fromCode(builtinFormatCode(id));
}

std::string NumberFormat::formatNumber(double value, bool date1904) const {
    if (!std::isfinite(value)) return "#NUM!";
    if (!m_compiled) return formatGeneral(value);
    const auto& sections = m_compiled->sections;
    const std::size_t numeric = numericSections(sections);
    if (numeric == 0) return formatGeneral(value);
    Choice choice = chooseBySign(numeric, value);
    if (m_compiled->hasConditions) {
        const auto chosen = chooseByCondition(sections, numeric, value);
        if (!chosen) return "########";  // the application shows hashes
        choice = *chosen;
    }
    const Section& section = sections[choice.section];
    if (section.isDate) return renderSection(section, value, date1904);
    format::DisplayText out;
    if (choice.showSign) out.append("-");
    out.append(renderSection(section, std::fabs(value), date1904));
    return out.take();
}

std::string NumberFormat::formatText(std::string_view text) const {
    if (!m_compiled) return std::string(text);
    const auto& sections = m_compiled->sections;
    const Section* textSection = nullptr;
    if (sections.size() == 4) {
        textSection = &sections[3];
    } else {
        for (const Section& section : sections) {
            if (section.hasText) textSection = &section;
        }
    }
    if (textSection == nullptr) return std::string(text);
    format::DisplayText out;
    format::assemble(*textSection, format::SlotTexts(textSection->tokens.size()), text, out);
    return out.take();
}

}  // namespace velquor::sheet
