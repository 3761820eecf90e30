// The .xlsx form of a report through libxlsxwriter; see xlsx_writer.h.
#include "report/xlsx_writer.h"

#include <stdlib.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>

namespace velquor::report {
namespace {

namespace fs = std::filesystem;
using support::ErrorCode;
using support::makeError;
using support::Phrase;

// What worksheet_write_string takes, in bytes.
constexpr std::size_t kMaxCellBytes = 32767;
// Column widths are measured on the header and the first rows only, and kept readable: those
// rows are held until the widths are set.
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

double columnWidth(std::span<const std::vector<std::string>> rows, std::size_t column) {
    std::size_t widest = 0;
    for (const auto& cells : rows) {
        if (column < cells.size()) widest = std::max(widest, characterCount(cells[column]));
    }
    return std::clamp(static_cast<double>(widest) + 2, kMinWidth, kMaxWidth);
}

// A private folder for the files libxlsxwriter insists on writing; removed with everything
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

support::Error workbookError(lxw_error error) {
    //: %1 is the workbook library's reason
    return makeError(ErrorCode::Io, Phrase{VELQUOR_TR_NOOP("core", "cannot write the workbook: %1"),
                                           {lxw_strerror(error)}});
}

support::Error tooManyRows(std::size_t rows) {
    return makeError(ErrorCode::TooLarge,
                     Phrase{VELQUOR_TR_NOOP("core",
                                            "the report has %1 rows, more than a "
                                            "workbook sheet holds"),
                            {std::to_string(rows)}});
}

}  // namespace

struct XlsxStream::State {
    ScratchFolder scratch;
    std::string tmpdir;
    lxw_workbook* workbook = nullptr;  // made once its form is known
    lxw_worksheet* sheet = nullptr;
    lxw_format* bold = nullptr;
    lxw_col_t columns = 0;
    lxw_row_t nextRow = 0;                       // the sheet's next row, 0 the header
    std::vector<std::vector<std::string>> held;  // the header and the first rows, until then

    ~State() {
        // A workbook never finished is closed all the same, to free it; its file goes with
        // the scratch folder.
        if (workbook != nullptr) workbook_close(workbook);
    }

    lxw_error put(const std::vector<std::string>& cells, lxw_format* format) {
        for (lxw_col_t column = 0; column < columns && column < cells.size(); ++column) {
            if (cells[column].empty()) continue;
            const std::string text = cellText(cells[column]);
            if (lxw_error error =
                    worksheet_write_string(sheet, nextRow, column, text.c_str(), format)) {
                return error;
            }
        }
        ++nextRow;
        return LXW_NO_ERROR;
    }

    // Makes the workbook in the form its length asks for, sets the widths from the header and
    // the first rows, then writes the rows held, the header bold.
    support::Status begin(bool streamed) {
        const fs::path file = scratch.path() / "report.xlsx";
        lxw_workbook_options options{};
        options.constant_memory = streamed ? LXW_TRUE : LXW_FALSE;
        options.tmpdir = tmpdir.data();
        workbook = workbook_new_opt(file.c_str(), &options);
        if (workbook == nullptr) {
            return makeError(ErrorCode::Io,
                             Phrase{VELQUOR_TR_NOOP("core", "cannot start the workbook in %1"),
                                    {scratch.path().string()}});
        }
        sheet = workbook_add_worksheet(workbook, "Report");
        bold = workbook_add_format(workbook);
        format_set_bold(bold);
        const auto measured =
            std::span(held).first(std::min(held.size(), std::size_t{1} + kMeasuredRows));
        for (lxw_col_t column = 0; column < columns; ++column) {
            if (lxw_error error = worksheet_set_column(sheet, column, column,
                                                       columnWidth(measured, column), nullptr)) {
                return workbookError(error);
            }
        }
        for (const auto& cells : held) {
            if (lxw_error error = put(cells, nextRow == 0 ? bold : nullptr)) {
                return workbookError(error);
            }
        }
        held = {};
        return {};
    }
};

XlsxStream::XlsxStream(std::unique_ptr<State> state) : m_state(std::move(state)) {}
XlsxStream::XlsxStream(XlsxStream&&) noexcept = default;
XlsxStream& XlsxStream::operator=(XlsxStream&&) noexcept = default;
XlsxStream::~XlsxStream() = default;

support::Result<XlsxStream> XlsxStream::start(const std::vector<std::string>& header) {
    auto state = std::make_unique<State>();
    if (state->scratch.path().empty()) {
        return makeError(
            ErrorCode::Io,
            Phrase{VELQUOR_TR_NOOP("core", "cannot make a temporary folder for the workbook")});
    }
    state->tmpdir = state->scratch.path().string();
    state->columns = static_cast<lxw_col_t>(header.size());
    state->held.push_back(header);
    return XlsxStream(std::move(state));
}

support::Status XlsxStream::writeRow(const std::vector<std::string>& cells) {
    State& state = *m_state;
    const std::size_t rows = state.nextRow + state.held.size();
    if (rows >= LXW_ROW_MAX) return tooManyRows(rows);
    if (state.workbook == nullptr) {
        state.held.push_back(cells);
        // The header and kSharedTableRows rows; one more and the workbook is streamed.
        if (state.held.size() <= 1 + kSharedTableRows) return {};
        return state.begin(true);
    }
    if (lxw_error error = state.put(cells, nullptr)) return workbookError(error);
    return {};
}

support::Status XlsxStream::finish(const Consumer& consume) {
    State& state = *m_state;
    if (state.workbook == nullptr) {
        if (auto begun = state.begin(false); !begun) return begun;
    }
    worksheet_freeze_panes(state.sheet, 1, 0);
    if (state.columns > 0) {
        if (lxw_error error =
                worksheet_autofilter(state.sheet, 0, 0, state.nextRow - 1, state.columns - 1)) {
            return workbookError(error);
        }
    }
    const lxw_error closed = workbook_close(state.workbook);
    state.workbook = nullptr;
    if (closed != LXW_NO_ERROR) return workbookError(closed);
    const fs::path file = state.scratch.path() / "report.xlsx";
    std::ifstream in(file, std::ios::binary);
    std::string piece(std::size_t{1} << 20, '\0');
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        if (auto consumed = consume(std::string_view(piece).substr(0, got)); !consumed) {
            return consumed;
        }
    }
    if (in.bad() || !in.eof()) {
        return makeError(
            ErrorCode::Io,
            Phrase{VELQUOR_TR_NOOP("core", "cannot read back the workbook %1"), {file.string()}});
    }
    return {};
}

}  // namespace velquor::report
