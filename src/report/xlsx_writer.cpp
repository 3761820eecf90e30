// The .xlsx form of a report through libxlsxwriter; see xlsx_writer.h.
#include "report/xlsx_writer.h"

#include <stdlib.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace velquor::report {
namespace {

namespace fs = std::filesystem;
using support::ErrorCode;
using support::makeError;
using support::Phrase;

// What worksheet_write_string takes, in bytes.
constexpr std::size_t kMaxCellBytes = 32767;
// Column widths are measured on the header and the first rows only, and kept readable.
constexpr std::size_t kMeasuredRows = 200;
constexpr double kMinWidth = 8;
constexpr double kMaxWidth = 60;

// The length of the valid UTF-8 sequence at text[at], or 0 when there is none.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

// A text such as "_x0041_" is how a workbook writes a character by its code (libxlsxwriter
// writes a carriage return as "_x000D_"), so a spreadsheet would show "A": its underscore
// is written as "_x005F_" to keep the text as it is.
bool looksLikeEscape(std::string_view text, std::size_t at) {
    if (at + 7 > text.size() || text[at] != '_' || text[at + 1] != 'x' || text[at + 6] != '_') {
        return false;
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at) + 2,
                       text.begin() + static_cast<std::ptrdiff_t>(at) + 6,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// UTF-8 text a workbook can hold: stray bytes become U+FFFD and a NUL is dropped; cut at a
// sequence boundary once kMaxCellBytes are reached.
std::string cellText(std::string_view text) {
    std::string cell;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8SequenceLength(text, at);
        std::string_view piece =
            length == 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(at, length);
        if (looksLikeEscape(text, at)) piece = "_x005F_";
        if (cell.size() + piece.size() > kMaxCellBytes) break;
        if (piece != std::string_view("\0", 1)) cell += piece;
        at += std::max<std::size_t>(length, 1);
    }
    return cell;
}

std::size_t characterCount(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

double columnWidth(const ReportTable& table, std::size_t column) {
    std::size_t widest = characterCount(table.header[column]);
    const std::size_t rows = std::min(table.rows.size(), kMeasuredRows);
    for (std::size_t row = 0; row < rows; ++row) {
        if (column < table.rows[row].size()) {
            widest = std::max(widest, characterCount(table.rows[row][column]));
        }
    }
    return std::clamp(static_cast<double>(widest) + 2, kMinWidth, kMaxWidth);
}

// A private folder for the one file libxlsxwriter insists on writing; removed with everything
// in it when the report's bytes have been read back.
class ScratchFolder {
public:
    ScratchFolder() {
        std::error_code error;
        std::string pattern = (fs::temp_directory_path(error) / "velquor-report-XXXXXX").string();
        if (error) pattern = "/tmp/velquor-report-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!m_path.empty()) fs::remove_all(m_path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

lxw_error writeSheet(lxw_workbook* workbook, const ReportTable& table) {
    lxw_worksheet* sheet = workbook_add_worksheet(workbook, "Report");
    lxw_format* bold = workbook_add_format(workbook);
    format_set_bold(bold);
    const auto columns = static_cast<lxw_col_t>(table.header.size());
    for (lxw_col_t column = 0; column < columns; ++column) {
        if (lxw_error error =
                worksheet_set_column(sheet, column, column, columnWidth(table, column), nullptr)) {
            return error;
        }
        const std::string text = cellText(table.header[column]);
        if (lxw_error error = worksheet_write_string(sheet, 0, column, text.c_str(), bold)) {
            return error;
        }
    }
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        const auto sheetRow = static_cast<lxw_row_t>(row + 1);
        const auto& cells = table.rows[row];
        for (lxw_col_t column = 0; column < columns && column < cells.size(); ++column) {
            if (cells[column].empty()) continue;
            const std::string text = cellText(cells[column]);
            if (lxw_error error =
                    worksheet_write_string(sheet, sheetRow, column, text.c_str(), nullptr)) {
                return error;
            }
        }
    }
    worksheet_freeze_panes(sheet, 1, 0);
    if (columns == 0) return LXW_NO_ERROR;
    return worksheet_autofilter(sheet, 0, 0, static_cast<lxw_row_t>(table.rows.size()),
                                columns - 1);
}

}  // namespace

support::Result<std::string> xlsxBytes(const ReportTable& table) {
    if (table.rows.size() + 1 > LXW_ROW_MAX) {
        return makeError(ErrorCode::TooLarge,
                         Phrase{VELQUOR_TR_NOOP("core",
                                                "the report has %1 rows, more than a "
                                                "workbook sheet holds"),
                                {std::to_string(table.rows.size())}});
    }
    ScratchFolder scratch;
    if (scratch.path().empty()) {
        return makeError(
            ErrorCode::Io,
            Phrase{VELQUOR_TR_NOOP("core", "cannot make a temporary folder for the workbook")});
    }
    const fs::path file = scratch.path() / "report.xlsx";
    lxw_workbook* workbook = workbook_new(file.c_str());
    if (workbook == nullptr) {
        return makeError(ErrorCode::Io,
                         Phrase{VELQUOR_TR_NOOP("core", "cannot start the workbook in %1"),
                                {scratch.path().string()}});
    }
    const lxw_error sheetError = writeSheet(workbook, table);
    const lxw_error closeError = workbook_close(workbook);
    if (sheetError != LXW_NO_ERROR || closeError != LXW_NO_ERROR) {
        //: %1 is the workbook library's reason
        return makeError(
            ErrorCode::Io,
            Phrase{VELQUOR_TR_NOOP("core", "cannot write the workbook: %1"),
                   {lxw_strerror(sheetError != LXW_NO_ERROR ? sheetError : closeError)}});
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        return makeError(
            ErrorCode::Io,
            Phrase{VELQUOR_TR_NOOP("core", "cannot read back the workbook %1"), {file.string()}});
    }
    return bytes;
}

}  // namespace velquor::report
