// Reading a device sheet's header into template fields; see template_fields.h.
#include "generator/fields/template_fields.h"

#include <algorithm>
#include <cctype>

#include "sheet/cell_name.h"

namespace velquor::generator {
namespace {

constexpr SeedElement kSeedElements[] = {
    {"SubscriberInformation", "DisplayName", column::kDisplayName},
    {"SubscriberInformation", "UserID", column::kUserId},
    {"SubscriberInformation", "AuthID", column::kAuthId},
    {"SubscriberInformation", "Password", column::kPassword},
    {"ProxyandRegistration", "Proxy", column::kProxy},
    {"SIPSettings", "SIPPort", column::kSipPort},
};

constexpr int kFirstFreeColumn = column::kSipPort + 1;

}  // namespace

std::span<const SeedElement> seedElements() {
    return kSeedElements;
}

std::string columnLetters(int entry) {
    return sheet::columnName(entry + 1);
}

std::string seedElementPath(int entry) {
    for (const SeedElement& seed : kSeedElements) {
        if (seed.entry == entry) return std::string("Ext1/") + seed.section + "/" + seed.name;
    }
    return {};
}

namespace {

bool isNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

// An XML element or attribute name without a prefix: a letter or '_' first.
bool isXmlName(std::string_view text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text.front())) != 0 ||
        text.front() == '-' || text.front() == '.') {
        return false;
    }
    return std::all_of(text.begin(), text.end(), isNameCharacter);
}

std::optional<ElementPath> readPath(std::string_view text) {
    if (text.find('/') == std::string_view::npos) return std::nullopt;
    ElementPath path;
    while (true) {
        const std::size_t slash = text.find('/');
        const std::string_view part = text.substr(0, slash);
        if (slash == std::string_view::npos && part.starts_with('@')) {
            if (!isXmlName(part.substr(1)) || path.names.empty()) return std::nullopt;
            path.attribute = std::string(part.substr(1));
            return path;
        }
        if (!isXmlName(part)) return std::nullopt;
        path.names.emplace_back(part);
        if (slash == std::string_view::npos) return path;
        text.remove_prefix(slash + 1);
    }
}

bool isTemplateHeader(std::string_view text) {
    constexpr std::string_view kTemplate = "template";
    return text.size() == kTemplate.size() &&
           std::equal(text.begin(), text.end(), kTemplate.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// What a header makes of its column; nothing for a fixed column that keeps its meaning.
std::optional<FieldColumn> readHeader(int entry, std::string_view cell) {
    std::string_view text = trimmed(cell);
    const bool braced = text.size() > 4 && text.starts_with("{{") && text.ends_with("}}");
    if (braced) text = trimmed(text.substr(2, text.size() - 4));
    if (entry < kFirstFreeColumn && !braced) return std::nullopt;
    FieldColumn field;
    field.entry = entry;
    field.header = std::string(cell);
    if (isTemplateHeader(text)) {
        field.kind = FieldKind::Template;
    } else if (auto path = readPath(text)) {
        field.kind = FieldKind::Path;
        field.path = std::move(*path);
    } else if (isPlaceholderName(text)) {
        field.kind = FieldKind::Placeholder;
        field.name = std::string(text);
    }
    return field;
}

}  // namespace

bool isPlaceholderName(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isNameCharacter);
}

SheetFields::SheetFields(const std::vector<std::string>& header, int columns)
    : m_columnCount(std::max(columns, static_cast<int>(header.size()))) {
    for (int entry = 1; entry < m_columnCount; ++entry) {
        const auto index = static_cast<std::size_t>(entry);
        const std::string empty;
        auto field = readHeader(entry, index < header.size() ? header[index] : empty);
        if (!field) continue;
        // A column with no header at all, past the fixed ones, is simply not part of the run.
        if (field->kind == FieldKind::Unused && trimmed(field->header).empty()) continue;
        if (field->kind == FieldKind::Placeholder) m_placeholders.emplace(field->name, entry);
        if (field->kind == FieldKind::Template && m_templateEntry < 0) m_templateEntry = entry;
        m_columns.push_back(std::move(*field));
    }
}

std::optional<int> SheetFields::placeholderEntry(std::string_view name) const {
    if (name == kMacPlaceholder) return macEntry();
    if (name == kRowPlaceholder) return rowEntry();
    if (auto found = m_placeholders.find(name); found != m_placeholders.end()) {
        return found->second;
    }
    return std::nullopt;
}

bool SheetFields::isSeedColumn(int entry) const {
    if (entry < 1 || entry >= kFirstFreeColumn) return false;
    return std::none_of(m_columns.begin(), m_columns.end(),
                        [entry](const FieldColumn& field) { return field.entry == entry; });
}

std::vector<PlaceholderUse> findPlaceholders(std::string_view text) {
    std::vector<PlaceholderUse> uses;
    std::size_t from = 0;
    while (true) {
        const std::size_t open = text.find("{{", from);
        if (open == std::string_view::npos) return uses;
        const std::size_t close = text.find("}}", open + 2);
        if (close == std::string_view::npos) return uses;
        PlaceholderUse use;
        use.at = open;
        use.length = close + 2 - open;
        use.written = std::string(text.substr(open, use.length));
        std::string_view inside = text.substr(open + 2, close - open - 2);
        if (const std::size_t bar = inside.find('|'); bar != std::string_view::npos) {
            use.fallback = std::string(inside.substr(bar + 1));
            inside = inside.substr(0, bar);
        }
        inside = trimmed(inside);
        if (isPlaceholderName(inside)) use.name = std::string(inside);
        uses.push_back(std::move(use));
        from = close + 2;
    }
}

}  // namespace velquor::generator
