// Stale twins of a run's phones; see stale_twins.h.
#include "generator/outputs/stale_twins.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>

#include "generator/fields/run_templates.h"
#include "generator/fields/template_fields.h"
#include "support/file_identity.h"
#include "xmlsafe/xml_safety.h"

namespace velquor::generator {

namespace fs = std::filesystem;

namespace {

// The document element starts within the first bytes of any configuration file; a file whose
// does not is no twin, and a large one is never read whole.
constexpr std::size_t kHeadBytes = 64 * 1024;
constexpr std::size_t kMacDigits = 12;
constexpr std::size_t kJoinedMacLength = 17;  // six pairs and five joiners

// Longest first: "x.cnf.xml" is taken as ".cnf.xml", not as ".xml" after a stem "x.cnf".
constexpr std::array<std::string_view, 5> kConfigExtensions = {".cnf.xml", ".conf", ".xml", ".cfg",
                                                               ".cnf"};

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isLetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool endsWithNoCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) return false;
    return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                      [](char a, char b) { return lower(a) == lower(b); });
}

std::optional<std::string_view> withoutConfigExtension(std::string_view name) {
    for (std::string_view extension : kConfigExtensions) {
        if (endsWithNoCase(name, extension)) return name.substr(0, name.size() - extension.size());
    }
    return std::nullopt;
}

// The 12 digits of a MAC that ends stem, in lower case, and where it starts.
struct MacAtEnd {
    std::string canonical;
    std::size_t at = 0;
};

std::optional<MacAtEnd> macAtEnd(std::string_view stem) {
    const auto canonicalOf = [](std::string_view text) {
        std::string digits;
        for (char c : text) {
            if (isHex(c)) digits.push_back(lower(c));
        }
        return digits;
    };
    if (stem.size() >= kMacDigits && std::all_of(stem.end() - kMacDigits, stem.end(), isHex)) {
        const std::size_t at = stem.size() - kMacDigits;
        return MacAtEnd{canonicalOf(stem.substr(at)), at};
    }
    if (stem.size() < kJoinedMacLength) return std::nullopt;
    const std::size_t at = stem.size() - kJoinedMacLength;
    const char joiner = stem[at + 2];
    if (joiner != ':' && joiner != '-') return std::nullopt;
    for (std::size_t i = 0; i < kJoinedMacLength; ++i) {
        const bool atJoiner = i % 3 == 2;
        if (atJoiner ? stem[at + i] != joiner : !isHex(stem[at + i])) return std::nullopt;
    }
    return MacAtEnd{canonicalOf(stem.substr(at)), at};
}

// Whether letters and digits hold a MAC of their own: a run of exactly 12 hex digits.
bool holdsMac(std::string_view text) {
    std::size_t run = 0;
    for (char c : text) {
        if (isHex(c)) {
            ++run;
            continue;
        }
        if (run == kMacDigits) return true;
        run = 0;
    }
    return run == kMacDigits;
}

// The first bytes of a regular file, never following a link nor waiting on anything else.
std::optional<std::string> headOf(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string head(kHeadBytes, '\0');
    std::size_t filled = 0;
    while (filled < head.size()) {
        const ssize_t got = ::read(fd, head.data() + filled, head.size() - filled);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    head.resize(filled);
    return head;
}

// The name of the document element as the file writes it, read from its first bytes in
// whatever encoding they declare; nothing for a file that is not XML.
std::optional<std::string> documentElementOf(const fs::path& path) {
    const auto head = headOf(path);
    if (!head || head->empty()) return std::nullopt;
    xmlsafe::initialise();
    xmlsafe::DiagnosticCapture quiet;
    xmlTextReaderPtr reader =
        xmlReaderForMemory(head->data(), static_cast<int>(head->size()), nullptr, nullptr,
                           xmlsafe::kParseOptions | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (reader == nullptr) return std::nullopt;
    std::optional<std::string> name;
    while (xmlTextReaderRead(reader) == 1) {
        if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) continue;
        if (const xmlChar* element = xmlTextReaderConstName(reader)) {
            name = reinterpret_cast<const char*>(element);
        }
        break;
    }
    xmlFreeTextReader(reader);
    return name;
}

// What a run's files look like and which files it reads, looked up once per search.
class RunFiles {
public:
    RunFiles(const GenerationRequest& request, const DeviceTable& table) {
        const SheetFields fields(table.headerCells(), table.ColumnCount);
        std::vector<std::string> inputs;
        if (!request.templatePath.empty()) {
            inputs = RunTemplates::paths(request.templatePath, table, fields);
        }
        for (const std::string& path : inputs) {
            if (auto element = documentElementOf(path)) m_documentElements.insert(*element);
        }
        inputs.push_back(request.sheetPath);
        for (const std::string& path : inputs) {
            if (auto identity = support::identityOf(path)) m_inputs.push_back(*identity);
        }
    }

    bool madeFromTemplates(const fs::path& file) const {
        const auto element = documentElementOf(file);
        return element && m_documentElements.contains(*element);
    }

    bool isInput(const fs::path& file) const {
        const auto identity = support::identityOf(file);
        return identity && std::find(m_inputs.begin(), m_inputs.end(), *identity) != m_inputs.end();
    }

private:
    std::set<std::string> m_documentElements;
    std::vector<support::FileIdentity> m_inputs;
};

enum class Kin { None, SamePattern, OtherPattern };

// How name is a file of one of phones under another name than the run's own.
Kin kinOf(const std::string& name, const mac::FileNamePattern& pattern,
          const PhoneFileNames& phones) {
    const auto phoneOf = [&phones, &name](const std::optional<std::string>& canonical) {
        if (!canonical) return false;
        const auto own = phones.find(*canonical);
        return own != phones.end() && own->second != name;
    };
    if (auto samePattern = pattern.deviceOf(name)) {
        return phoneOf(samePattern) ? Kin::SamePattern : Kin::None;
    }
    return phoneOf(configNamePhone(name)) ? Kin::OtherPattern : Kin::None;
}

// The regular files of folder (links and everything else left out), by name, in one listing.
template <typename Visit>
void forEachRegularFile(const fs::path& folder, Visit visit) {
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->symlink_status(error).type() != fs::file_type::regular) continue;
        visit(entry->path().filename().string(), entry->path());
    }
}

}  // namespace

std::optional<std::string> configNamePhone(std::string_view name) {
    const auto stem = withoutConfigExtension(name);
    if (!stem) return std::nullopt;
    const auto mac = macAtEnd(*stem);
    if (!mac) return std::nullopt;
    const std::string_view prefix = stem->substr(0, mac->at);
    if (!std::all_of(prefix.begin(), prefix.end(), isLetterOrDigit)) return std::nullopt;
    // A hex digit right before it makes the MAC part of a longer number.
    if (!prefix.empty() && isHex(prefix.back())) return std::nullopt;
    if (holdsMac(prefix)) return std::nullopt;
    return mac->canonical;
}

std::vector<std::string> findStaleTwins(const GenerationRequest& request, const DeviceTable& table,
                                        const PhoneFileNames& phones) {
    std::vector<std::string> twins;
    if (phones.empty()) return twins;
    const RunFiles run(request, table);
    const fs::path folder(request.outputFolder);
    std::set<std::string> plainTwins;
    forEachRegularFile(folder, [&](const std::string& name, const fs::path& path) {
        const Kin kin = kinOf(name, request.fileName, phones);
        if (kin == Kin::None || run.isInput(path)) return;
        if (kin == Kin::OtherPattern && !run.madeFromTemplates(path)) return;
        plainTwins.insert(name);
        twins.push_back(path.string());
    });
    std::sort(twins.begin(), twins.end());
    std::vector<std::string> copies;
    forEachRegularFile(folder / "en", [&](const std::string& name, const fs::path& path) {
        const Kin kin = kinOf(name, request.fileName, phones);
        if (kin == Kin::None || run.isInput(path)) return;
        if (kin == Kin::OtherPattern && !plainTwins.contains(name)) return;
        copies.push_back(path.string());
    });
    std::sort(copies.begin(), copies.end());
    twins.insert(twins.end(), copies.begin(), copies.end());
    return twins;
}

}  // namespace velquor::generator
