// ZipArchive over libzip. zip_fread does not stop at an entry's declared size, so every
// member is inflated in chunks and counted against the declared size and the total budget.
#include "sheet/zip_archive.h"

#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "sheet/sheet_data.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;
using support::Phrase;

namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr std::string_view kCompoundFileMagic = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

std::string zipErrorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

support::Error openError(int code) {
    switch (code) {
        case ZIP_ER_NOZIP:
            return makeError(
                ErrorCode::InvalidInput,
                Phrase{VELQUOR_TR_NOOP("core", "it is not an .xlsx workbook (not a zip archive)")});
        case ZIP_ER_INCONS:
            return makeError(ErrorCode::InvalidInput,
                             Phrase{VELQUOR_TR_NOOP("core",
                                                    "the workbook's zip container is inconsistent "
                                                    "(damaged, or it names a member twice)")});
        case ZIP_ER_NOENT:
            return makeError(ErrorCode::NotFound, Phrase{VELQUOR_TR_NOOP("core", "no such file")});
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
            //: %1 is the zip library's reason
            return makeError(ErrorCode::Io,
                             Phrase{VELQUOR_TR_NOOP("core", "the file cannot be read (%1)"),
                                    {zipErrorText(code)}});
        default:
            //: %1 is the zip library's reason
            return makeError(
                ErrorCode::InvalidInput,
                Phrase{VELQUOR_TR_NOOP("core", "the workbook's zip container is damaged (%1)"),
                       {zipErrorText(code)}});
    }
}

// A workbook saved with a password, or an old binary workbook renamed, is an OLE compound file.
support::Error notAZip(std::string_view head) {
    if (head.substr(0, kCompoundFileMagic.size()) == kCompoundFileMagic) {
        return makeError(
            ErrorCode::Unsupported,
            Phrase{VELQUOR_TR_NOOP("core",
                                   "it is a password-protected workbook or an old binary (.xls) "
                                   "workbook, which is not supported; save the workbook without "
                                   "a password as .xlsx or .csv")});
    }
    return openError(ZIP_ER_NOZIP);
}

constexpr zip_int64_t kMaxMembers = 100000;

// Two members with one name (in any case) would let the reader and the application see
// different parts; such an archive is refused outright.
support::Status checkMembers(zip* archive) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count > kMaxMembers) {
        return makeError(ErrorCode::TooLarge,
                         Phrase{VELQUOR_TR_NOOP("core",
                                                "the workbook's zip container holds %1 "
                                                "members; refusing it"),
                                {std::to_string(count)}});
    }
    std::set<std::string> seen;
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (name == nullptr) continue;
        std::string key(name);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!seen.insert(std::move(key)).second) {
            return makeError(ErrorCode::InvalidInput,
                             Phrase{VELQUOR_TR_NOOP("core",
                                                    "the workbook's zip container names "
                                                    "the member %1 twice; refusing it"),
                                    {name}});
        }
    }
    return {};
}

std::string readHead(const std::string& path) {
    char buffer[8] = {};
    std::size_t n = 0;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        n = std::fread(buffer, 1, sizeof buffer, file);
        std::fclose(file);
    }
    return std::string(buffer, n);
}

// Refuse before inflating anything: the declared sizes are checked first, and the bytes
// counted while reading catch a member that lies about them.
support::Status checkDeclaredSize(const std::string& name, const zip_stat_t& stat,
                                  const ZipLimits& limits, std::uint64_t bytesRead) {
    const std::uint64_t budget = limits.maxTotalBytes - bytesRead;
    if (stat.size > budget) {
        //: %1 is a part of the workbook, %2 a number of MiB
        return makeError(ErrorCode::TooLarge,
                         Phrase{VELQUOR_TR_NOOP("core",
                                                "the part %1 would inflate past %2 MiB in "
                                                "all; refusing it as a zip bomb"),
                                {name, std::to_string(limits.maxTotalBytes >> 20)}});
    }
    const std::uint64_t ratio = stat.size / std::max<std::uint64_t>(stat.comp_size, 1);
    if (stat.size > limits.bigMemberBytes && ratio > limits.maxRatio) {
        return makeError(ErrorCode::TooLarge,
                         Phrase{VELQUOR_TR_NOOP("core",
                                                "the part %1 would inflate %2 times its "
                                                "stored size; refusing it as a zip bomb"),
                                {name, std::to_string(ratio)}});
    }
    return {};
}

}  // namespace

void ZipArchive::Closer::operator()(zip* archive) const {
    zip_discard(archive);
}

ZipArchive::ZipArchive(zip* archive, ZipLimits limits) : m_archive(archive), m_limits(limits) {}
ZipArchive::~ZipArchive() = default;
ZipArchive::ZipArchive(ZipArchive&&) noexcept = default;
ZipArchive& ZipArchive::operator=(ZipArchive&&) noexcept = default;

support::Result<ZipArchive> ZipArchive::openFile(const std::string& path, ZipLimits limits) {
    int code = 0;
    zip* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (archive == nullptr) {
        return code == ZIP_ER_NOZIP ? notAZip(readHead(path)) : openError(code);
    }
    if (auto status = checkMembers(archive); !status) {
        zip_discard(archive);
        return status.error();
    }
    return ZipArchive(archive, limits);
}

support::Result<ZipArchive> ZipArchive::openBytes(std::string_view bytes, ZipLimits limits) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source == nullptr) {
        zip_error_fini(&error);
        return makeError(ErrorCode::Internal, "cannot set up the zip reader");
    }
    zip* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (archive == nullptr) {
        const int code = zip_error_code_zip(&error);
        zip_error_fini(&error);
        zip_source_free(source);
        return code == ZIP_ER_NOZIP ? notAZip(bytes.substr(0, 8)) : openError(code);
    }
    zip_error_fini(&error);
    if (auto status = checkMembers(archive); !status) {
        zip_discard(archive);
        return status.error();
    }
    return ZipArchive(archive, limits);
}

bool ZipArchive::contains(const std::string& name) const {
    return zip_name_locate(m_archive.get(), name.c_str(), ZIP_FL_NOCASE) >= 0;
}

std::uint64_t ZipArchive::declaredSize(const std::string& name) const {
    const zip_int64_t index = zip_name_locate(m_archive.get(), name.c_str(), ZIP_FL_NOCASE);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (index < 0 ||
        zip_stat_index(m_archive.get(), static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
        (stat.valid & ZIP_STAT_SIZE) == 0 || (stat.valid & ZIP_STAT_COMP_SIZE) == 0 ||
        !checkDeclaredSize(name, stat, m_limits, m_bytesRead)) {
        return 0;
    }
    return stat.size;
}

support::Status ZipArchive::read(const std::string& name, const Consumer& consume) {
    const zip_int64_t index = zip_name_locate(m_archive.get(), name.c_str(), ZIP_FL_NOCASE);
    if (index < 0) {
        return partMissing(name);
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(m_archive.get(), static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
        (stat.valid & ZIP_STAT_SIZE) == 0 || (stat.valid & ZIP_STAT_COMP_SIZE) == 0) {
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "the part %1 cannot be examined"), {name}});
    }
    if (auto status = checkDeclaredSize(name, stat, m_limits, m_bytesRead); !status) return status;
    zip_file_t* file = zip_fopen_index(m_archive.get(), static_cast<zip_uint64_t>(index), 0);
    if (file == nullptr) {
        const int code = zip_error_code_zip(zip_get_error(m_archive.get()));
        if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_ENCRNOTSUPP) {
            return makeError(ErrorCode::Unsupported,
                             Phrase{VELQUOR_TR_NOOP("core", "the part %1 is encrypted"), {name}});
        }
        //: %1 is a part of the workbook, %2 the zip library's reason
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "the part %1 cannot be opened (%2)"),
                                {name, zipErrorText(code)}});
    }
    std::vector<char> buffer(kChunkBytes);
    std::uint64_t memberBytes = 0;
    support::Status status;
    for (;;) {
        if (m_stop.stop_requested()) {
            status = readingCancelled();
            break;
        }
        const zip_int64_t n = zip_fread(file, buffer.data(), buffer.size());
        if (n < 0) {
            const int code = zip_error_code_zip(zip_file_get_error(file));
            //: %1 is a part of the workbook, %2 the zip library's reason
            status = makeError(ErrorCode::InvalidInput,
                               Phrase{VELQUOR_TR_NOOP("core", "the part %1 is damaged (%2)"),
                                      {name, zipErrorText(code)}});
            break;
        }
        if (n == 0) break;
        memberBytes += static_cast<std::uint64_t>(n);
        if (memberBytes > stat.size || m_bytesRead + memberBytes > m_limits.maxTotalBytes) {
            status =
                makeError(ErrorCode::TooLarge,
                          Phrase{VELQUOR_TR_NOOP("core",
                                                 "the part %1 inflates past the size its zip entry "
                                                 "declares; refusing a damaged or hostile archive"),
                                 {name}});
            break;
        }
        status = consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        if (!status) break;
    }
    zip_fclose(file);
    m_bytesRead += memberBytes;
    return status;
}

support::Result<std::string> ZipArchive::readAll(const std::string& name) {
    std::string content;
    auto status = read(name, [&](std::string_view chunk) -> support::Status {
        content.append(chunk);
        return {};
    });
    if (!status) return status.error();
    return content;
}

}  // namespace velquor::sheet
