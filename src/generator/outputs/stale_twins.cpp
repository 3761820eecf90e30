// Stale twins of a run's phones; see stale_twins.h.
#include "generator/outputs/stale_twins.h"

#include <dirent.h>
#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <filesystem>
#include <set>

#include "crypto/aes.h"
#include "crypto/config_blocks.h"
#include "crypto/plaintext_check.h"
#include "generator/fields/template_fields.h"
#include "generator/template/run_templates.h"
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
std::string_view headOf(const fs::path& path, std::string& buffer) {
    buffer.resize(kHeadBytes);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {};
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t got = ::read(fd, buffer.data() + filled, buffer.size() - filled);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
        // A regular file gives all it has at once: a short read is its end.
        if (filled < buffer.size()) break;
    }
    ::close(fd);
    return std::string_view(buffer).substr(0, filled);
}

// The name of the document element as the bytes write it, read in whatever encoding they
// declare; nothing for bytes that are no XML.
std::optional<std::string> documentElementIn(std::string_view head) {
    if (head.empty()) return std::nullopt;
    xmlsafe::initialise();
    xmlsafe::DiagnosticCapture quiet;
    xmlTextReaderPtr reader =
        xmlReaderForMemory(head.data(), static_cast<int>(head.size()), nullptr, nullptr,
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

std::optional<std::string> documentElementOf(const fs::path& path, std::string& buffer) {
    return documentElementIn(headOf(path, buffer));
}

// The size of a regular file, not following a link; nothing for anything else.
std::optional<std::uintmax_t> regularFileSize(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uintmax_t>(info.st_size);
}

// Whether folder/en is a folder of its own, not a link to one elsewhere.
bool ownEncryptedFolder(const fs::path& folder) {
    struct stat info {};
    return ::lstat((folder / "en").c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A file as a folder and a name in it, links followed: how an input is told among the names
// of a listing without looking at each file.
struct PlacedFile {
    std::optional<support::FileIdentity> folder;
    std::string name;
};

PlacedFile placeOf(const fs::path& path) {
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    if (error) return {};
    return PlacedFile{support::identityOf(real.parent_path()), real.filename().string()};
}

// What a run's files look like and which files it reads, looked up once per search.
class RunFiles {
public:
    RunFiles(const GenerationRequest& request, const DeviceTable& table)
        : m_decrypts(request.encrypt) {
        if (m_decrypts) {
            const std::string& key = request.keyText;
            m_aes.Init(static_cast<int>(std::min<std::size_t>(key.size(), INT_MAX)),
                       reinterpret_cast<const unsigned char*>(key.data()));
        }
        const SheetFields fields(table.headerCells(), table.ColumnCount);
        std::vector<std::string> inputs;
        if (!request.templatePath.empty()) {
            inputs = RunTemplates::paths(request.templatePath, table, fields);
        }
        for (const std::string& path : inputs) {
            if (auto element = documentElementOf(path, m_buffer)) {
                m_documentElements.insert(*element);
            }
        }
        inputs.push_back(request.sheetPath);
        for (const std::string& path : inputs) m_inputs.push_back(placeOf(path));
    }

    bool madeFromTemplates(const fs::path& file) {
        return fromTemplates(documentElementOf(file, m_buffer));
    }

    // Whether an encrypted file is a copy of one made from the templates: its first blocks
    // decrypted with the run's key show it, or, without the key or for a copy made with
    // another, the plain file of its name beside "en" is such a file (plainTwin) and this one
    // is what its encryption would be: no text, and as long as it in whole blocks.
    bool encryptedCopyOfTwin(const fs::path& copy, const std::optional<fs::path>& plainTwin) {
        const std::string_view head = headOf(copy, m_buffer);
        if (head.empty() || crypto::looksLikeText(head)) return false;
        if (m_decrypts) {
            std::string plain(
                head.substr(0, head.size() / crypto::kAesBlockSize * crypto::kAesBlockSize));
            const std::size_t size = crypto::decryptCompleted(
                m_aes, reinterpret_cast<std::uint8_t*>(plain.data()), plain.size());
            if (fromTemplates(documentElementIn(std::string_view(plain).substr(0, size)))) {
                return true;
            }
        }
        if (!plainTwin) return false;
        const auto copySize = regularFileSize(copy);
        const auto plainSize = regularFileSize(*plainTwin);
        return copySize && plainSize && *copySize == crypto::completedSize(*plainSize);
    }

    // The names of the run's inputs that lie in folder.
    std::set<std::string> inputsIn(const fs::path& folder) const {
        std::set<std::string> names;
        const auto identity = support::identityOf(folder);
        for (const PlacedFile& input : m_inputs) {
            if (identity && input.folder == identity) names.insert(input.name);
        }
        return names;
    }

private:
    bool fromTemplates(const std::optional<std::string>& element) const {
        return element && m_documentElements.contains(*element);
    }

    bool m_decrypts = false;
    crypto::CAes m_aes;
    std::set<std::string> m_documentElements;
    std::vector<PlacedFile> m_inputs;
    std::string m_buffer;
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

// The regular files of folder (links and everything else left out) but those named in
// skipped, by name, in one listing: the type comes with the name where the file system gives
// it, so a file is looked at only where it does not.
template <typename Visit>
void forEachRegularFile(const fs::path& folder, const std::set<std::string>& skipped, Visit visit) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            regular = ::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(info.st_mode);
        }
        if (!regular || skipped.contains(entry->d_name)) continue;
        visit(std::string(entry->d_name), folder / entry->d_name);
    }
    ::closedir(listing);
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
    RunFiles run(request, table);
    const fs::path folder(request.outputFolder);
    std::set<std::string> plainTwins;
    forEachRegularFile(folder, run.inputsIn(folder), [&](std::string name, const fs::path& path) {
        if (kinOf(name, request.fileName, phones) == Kin::None) return;
        if (!run.madeFromTemplates(path)) return;
        plainTwins.insert(std::move(name));
        twins.push_back(path.string());
    });
    std::sort(twins.begin(), twins.end());
    // A link for "en" leads out of the output folder: nothing there is looked at.
    if (!ownEncryptedFolder(folder)) return twins;
    std::vector<std::string> copies;
    const fs::path encrypted = folder / "en";
    forEachRegularFile(
        encrypted, run.inputsIn(encrypted), [&](const std::string& name, const fs::path& path) {
            if (kinOf(name, request.fileName, phones) == Kin::None) return;
            const std::optional<fs::path> plain =
                plainTwins.contains(name) ? std::optional(folder / name) : std::nullopt;
            if (run.encryptedCopyOfTwin(path, plain)) copies.push_back(path.string());
        });
    std::sort(copies.begin(), copies.end());
    twins.insert(twins.end(), copies.begin(), copies.end());
    return twins;
}

std::string linkedEncryptedFolder(const std::filesystem::path& folder) {
    const fs::path encrypted = folder / "en";
    std::error_code error;
    if (!fs::is_symlink(encrypted, error)) return {};
    const fs::path target = fs::read_symlink(encrypted, error);
    return error ? encrypted.string() : target.string();
}

std::error_code removeStaleTwin(const std::filesystem::path& folder, const std::string& twin) {
    const fs::path path(twin);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return {errno, std::generic_category()};
    int at = folderFd;
    // A twin is in the folder itself or in its own "en", which is opened without following a
    // link, so that a link put there since the search leads nowhere.
    if (path.parent_path().filename() == "en" &&
        support::identityOf(path.parent_path().parent_path()) == support::identityOf(folder)) {
        at = ::openat(folderFd, "en", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } else if (support::identityOf(path.parent_path()) != support::identityOf(folder)) {
        at = -1;
        errno = EXDEV;
    }
    std::error_code error;
    if (at < 0 || ::unlinkat(at, path.filename().c_str(), 0) != 0) {
        error = std::error_code(errno, std::generic_category());
    }
    if (at >= 0 && at != folderFd) ::close(at);
    ::close(folderFd);
    return error;
}

}  // namespace velquor::generator
