// SheetReader: picks the reader for a file by its name and content, keeps the parsed sheet
// and answers CellText from memory. Nothing stays open between Open and Close.
#include "sheet/sheet_reader.h"

#include <algorithm>
#include <filesystem>

#include "sheet/csv_reader.h"
#include "sheet/sheet_data.h"
#include "sheet/xlsx_reader.h"
#include "support/file_identity.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;
using support::Phrase;

namespace {

constexpr std::uint64_t kMaxTextFileBytes = std::uint64_t{1} << 30;

enum class FileKind { Workbook, DelimitedText, LegacyWorkbook, Other };

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

FileKind kindOf(const std::string& extension) {
    if (extension == ".xlsx" || extension == ".xlsm" || extension == ".xltx" ||
        extension == ".xltm") {
        return FileKind::Workbook;
    }
    if (extension == ".csv" || extension == ".txt") return FileKind::DelimitedText;
    if (extension == ".xls" || extension == ".xlt" || extension == ".xlsb") {
        return FileKind::LegacyWorkbook;
    }
    return FileKind::Other;
}

support::Error fileError(const std::string& path, const support::Error& cause) {
    //: %1 is the sheet's file, %2 what is wrong with it
    return makeError(cause.code,
                     support::withCause(
                         Phrase{VELQUOR_TR_NOOP("core", "cannot read \"%1\": %2"), {path}}, cause));
}

support::Error unsupported(const std::string& path, Phrase what) {
    //: %1 is the sheet's file, %2 its kind (a file type, a file without an extension)
    Phrase phrase{VELQUOR_TR_NOOP("core",
                                  "cannot read \"%1\": %2 is not supported; save the "
                                  "workbook as .xlsx or .csv"),
                  {path}};
    const std::string english = what.english();
    return makeError(ErrorCode::Unsupported, support::withReason(std::move(phrase), english, what));
}

support::Status checkReadableFile(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (path.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         VELQUOR_TR_NOOP("core", "no spreadsheet file was given"));
    }
    if (ec || !std::filesystem::exists(status)) {
        return makeError(
            ErrorCode::NotFound,
            Phrase{VELQUOR_TR_NOOP("core", "cannot read \"%1\": no such file"), {path}});
    }
    if (std::filesystem::is_directory(status)) {
        return makeError(
            ErrorCode::InvalidInput,
            Phrase{VELQUOR_TR_NOOP("core", "cannot read \"%1\": it is a folder, not a file"),
                   {path}});
    }
    return {};
}

}  // namespace

struct SheetReader::Impl {
    SheetData data;
};

SheetReader::SheetReader() = default;
SheetReader::~SheetReader() = default;
SheetReader::SheetReader(SheetReader&&) noexcept = default;
SheetReader& SheetReader::operator=(SheetReader&&) noexcept = default;

namespace {

// The file into data, by its kind; a streaming data's text file is read a piece at a time.
support::Status readSheet(const std::string& path, SheetData& data, bool streaming,
                          const std::stop_token& stop) {
    if (auto readable = checkReadableFile(path); !readable) return readable.error();
    const std::string extension = lowerExtension(path);
    switch (kindOf(extension)) {
        case FileKind::Workbook: {
            if (auto status = readWorkbookFile(path, data, stop); !status) {
                return fileError(path, status.error());
            }
            return {};
        }
        case FileKind::DelimitedText: {
            if (streaming) {
                auto file = support::InputFile::open(path);
                if (!file) return file.error();
                if (auto status = readDelimitedFile(*file, data, stop); !status) {
                    return fileError(path, status.error());
                }
                return {};
            }
            auto bytes = support::readWholeFile(path, kMaxTextFileBytes);
            if (!bytes) return bytes.error();
            if (auto status = readDelimitedText(*bytes, data, stop); !status) {
                return fileError(path, status.error());
            }
            return {};
        }
        case FileKind::LegacyWorkbook:
            return unsupported(
                path,
                Phrase{VELQUOR_TR_NOOP("core", "the binary workbook format (%1)"), {extension}});
        case FileKind::Other:
            break;
    }
    return unsupported(
        path, extension.empty() ? Phrase{VELQUOR_TR_NOOP("core", "a file without an extension")}
                                : Phrase{VELQUOR_TR_NOOP("core", "the file type %1"), {extension}});
}

}  // namespace

support::Status forEachRowInParts(const std::string& path, std::size_t parts,
                                  const PartVisitors& visitorFor, std::stop_token stop) {
    parts = std::max<std::size_t>(parts, 1);
    if (auto readable = checkReadableFile(path); !readable) return readable.error();
    auto file = support::InputFile::open(path);
    if (!file) return file.error();
    if (kindOf(lowerExtension(path)) != FileKind::DelimitedText ||
        file->sizeForProgress() > kMaxTextFileBytes) {
        return forEachRow(path, visitorFor(0), stop);
    }
    auto bytes = support::readWholeFile(path, kMaxTextFileBytes);
    if (!bytes) return bytes.error();
    // Each part's visitor's own errors are passed on as they are, the file's are worded as
    // Open's.
    std::vector<RowVisitor> visitors;
    std::vector<support::Status> refused(parts);
    std::vector<SheetData> data(parts);
    std::vector<SheetData*> each;
    for (std::size_t k = 0; k < parts; ++k) {
        visitors.push_back(visitorFor(k));
        data[k].streamRows([&visitors, &refused, k](int row, std::vector<std::string>& cells) {
            refused[k] = visitors[k](row, cells);
            return refused[k];
        });
        each.push_back(&data[k]);
    }
    const std::vector<support::Status> outcomes = readDelimitedTextInParts(*bytes, each, stop);
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        if (outcomes[k]) continue;
        return refused[k] ? fileError(path, outcomes[k].error()) : refused[k];
    }
    return {};
}

bool isDelimitedText(const std::string& path) {
    return kindOf(lowerExtension(path)) == FileKind::DelimitedText;
}

support::Status forEachRow(const std::string& path, const RowVisitor& visit, std::stop_token stop) {
    // The visitor's own errors are passed on as they are, the file's are worded as Open's.
    support::Status refused;
    SheetData data;
    data.streamRows([&](int row, std::vector<std::string>& cells) {
        refused = visit(row, cells);
        return refused;
    });
    if (auto status = readSheet(path, data, true, stop); !status) return refused ? status : refused;
    auto ended = data.endRows();
    if (!refused) return refused;
    if (!ended) return fileError(path, ended.error());
    return {};
}

support::Result<SheetDimensions> SheetReader::Open(const std::string& path, std::stop_token stop) {
    Close();
    auto impl = std::make_unique<Impl>();
    if (auto status = readSheet(path, impl->data, false, stop); !status) return status.error();
    for (std::string& warning : impl->data.warnings) warning = "\"" + path + "\": " + warning;
    m_impl = std::move(impl);
    return SheetDimensions{RowCount(), ColumnCount()};
}

int SheetReader::RowCount() const {
    return m_impl ? m_impl->data.rowCount() : 0;
}

int SheetReader::ColumnCount() const {
    return m_impl ? m_impl->data.columnCount() : 0;
}

std::string SheetReader::CellText(int row, int column) const {
    return m_impl ? m_impl->data.cellText(row, column) : std::string();
}

bool SheetReader::isNumber(int row, int column) const {
    return m_impl && m_impl->data.isNumber(row, column);
}

support::Status SheetReader::forEachCell(const CellVisitor& visit, std::stop_token stop) const {
    if (!m_impl) return {};
    const SheetData& data = m_impl->data;
    std::string scratch;
    for (std::size_t i = 0; i < data.cellCount(); ++i) {
        if (i % kCellsBetweenStopChecks == 0 && stop.stop_requested()) return readingCancelled();
        const std::string_view text = data.textViewAt(i, scratch);
        if (text.empty()) continue;
        if (auto status = visit(data.rowAt(i), data.columnAt(i), text); !status) return status;
    }
    return {};
}

void SheetReader::Close() {
    m_impl.reset();
}

bool SheetReader::isOpen() const {
    return m_impl != nullptr;
}

const std::vector<std::string>& SheetReader::warnings() const {
    static const std::vector<std::string> kNone;
    return m_impl ? m_impl->data.warnings : kNone;
}

}  // namespace velquor::sheet
