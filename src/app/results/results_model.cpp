// The results table of a bulk run: rows taken from the core's report, their counts, and the
// model and filter behind the results view.
#include "app/results/results_model.h"

#include <QFileInfo>
#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

#include "app/language/core_texts.h"
#include "generator/run/generation_report.h"
#include "mac/mac_address.h"
#include "mac/mac_check.h"
#include "sheet/cell_name.h"

namespace velquor::app {
namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Whether a row counts among the outcomes: every device row does; a MAC file's header is
// listed, but it is no MAC address.
bool counted(const generator::DeviceResult&) {
    return true;
}

bool counted(const provisioning::MacResult& result) {
    return !result.header;
}

// "295 added, 5 failed": each outcome that occurred, in the order the outcomes are declared.
template <typename Outcome, typename Rows, typename NameOf>
QString outcomeCounts(const Rows& rows, NameOf nameOf) {
    std::map<Outcome, std::size_t> counts;
    for (const auto& row : rows) {
        if (counted(row)) ++counts[row.outcome];
    }
    QStringList parts;
    for (const auto& [outcome, count] : counts) {
        parts << ResultsTableModel::tr("%1 %2", "a count and its outcome: 295 added")
                     .arg(count)
                     .arg(coreText(nameOf(outcome)));
    }
    return parts.join(ResultsTableModel::tr(", ", "between the counts of two outcomes"));
}

// The parts of a summary after its first, each "; " apart, and the whole ended by endWith.
QString summary(QString text, const QStringList& parts) {
    for (const QString& part : parts) {
        text = ResultsTableModel::tr("%1; %2", "two parts of a run's summary").arg(text, part);
    }
    return text;
}

bool isGenerationFailure(generator::DeviceOutcome outcome) {
    return outcome == generator::DeviceOutcome::Failed ||
           outcome == generator::DeviceOutcome::Cancelled ||
           outcome == generator::DeviceOutcome::Refused;
}

// A file written (or, by the check, to be written) with empty values needs a second look as
// much as a failed row.
bool writtenWithEmptyValues(const generator::DeviceResult& device) {
    return !device.emptyElements.empty() && (device.outcome == generator::DeviceOutcome::Written ||
                                             device.outcome == generator::DeviceOutcome::Checked);
}

bool isGenerationProblem(const generator::DeviceResult& device) {
    return isGenerationFailure(device.outcome) || writtenWithEmptyValues(device);
}

// Whatever the operator has to look at again: refused, unsent, or sent with no answer.
bool isDeviceFailure(provisioning::MacOutcome outcome) {
    return outcome != provisioning::MacOutcome::Added &&
           outcome != provisioning::MacOutcome::Replaced &&
           outcome != provisioning::MacOutcome::Declined &&
           outcome != provisioning::MacOutcome::Deleted &&
           outcome != provisioning::MacOutcome::Usable;
}

// As many rows of a summary's list as it shows.
constexpr int kListedRows = 8;

using RowLine = std::function<QString(const generator::DeviceResult&)>;

// "- reason" lines of the first rows that match, and "... and 3 more" for the rest (more is a
// %n text).
QString listedRows(const generator::GenerationReport& report,
                   const std::function<bool(const generator::DeviceResult&)>& matches,
                   const RowLine& line, const char* more) {
    QString text;
    int total = 0;
    for (const generator::DeviceResult& device : report.devices) {
        if (!matches(device)) continue;
        if (++total <= kListedRows) text += QStringLiteral("\n- ") + line(device);
    }
    if (total > kListedRows) {
        text += QLatin1Char('\n') + ResultsTableModel::tr(more, nullptr, total - kListedRows);
    }
    return text;
}

QString rowReason(const generator::DeviceResult& device) {
    return coreReason(device.reason, device.reasonPhrase);
}

QString emptyValuesLine(const generator::DeviceResult& device) {
    QStringList names;
    for (const std::string& name : device.emptyElements) names << fromUtf8(name);
    return ResultsTableModel::tr("row %1: %2, with %3 empty")
        .arg(device.row)
        .arg(coreText(generator::outcomeName(device.outcome)), names.join(QStringLiteral(", ")));
}

std::function<bool(const generator::DeviceResult&)> withOutcome(generator::DeviceOutcome outcome) {
    return [outcome](const generator::DeviceResult& device) { return device.outcome == outcome; };
}

QString writtenText(const generator::GenerationReport& report) {
    const int written = static_cast<int>(report.count(generator::DeviceOutcome::Written));
    const QString devices =
        ResultsTableModel::tr("%n device row(s)", nullptr, static_cast<int>(report.devices.size()));
    if (report.encrypted && written > 0) {
        return ResultsTableModel::tr("%n of %1 written (each with its encrypted copy in \"en\").",
                                     nullptr, written)
            .arg(devices);
    }
    return ResultsTableModel::tr("%1 of %2 written.", "3 of 5 device rows written.")
        .arg(written)
        .arg(devices);
}

}  // namespace

QString generationSummary(const generator::GenerationReport& report) {
    using generator::DeviceOutcome;
    const auto count = [&report](DeviceOutcome outcome) {
        return static_cast<int>(report.count(outcome));
    };
    QString text = writtenText(report);
    const auto line = [&text](const QString& more) { text += QLatin1Char('\n') + more; };
    if (report.emptyRows > 0) {
        line(ResultsTableModel::tr("%n empty row(s) skipped: they hold no device.", nullptr,
                                   static_cast<int>(report.emptyRows)));
    }
    if (report.cancelled) {
        line(ResultsTableModel::tr("Cancelled: %n row(s) not processed.", nullptr,
                                   count(DeviceOutcome::Cancelled)));
    }
    if (const int refused = count(DeviceOutcome::Refused); refused > 0) {
        line(ResultsTableModel::tr("%n row(s) refused: column A is not a MAC address:", nullptr,
                                   refused) +
             listedRows(report, withOutcome(DeviceOutcome::Refused), rowReason,
                        QT_TRANSLATE_N_NOOP("velquor::app::ResultsTableModel",
                                            "... and %n more refused rows")));
    }
    if (const int failed = count(DeviceOutcome::Failed); failed > 0) {
        line(ResultsTableModel::tr("%n row(s) failed:", nullptr, failed) +
             listedRows(report, withOutcome(DeviceOutcome::Failed), rowReason,
                        QT_TRANSLATE_N_NOOP("velquor::app::ResultsTableModel",
                                            "... and %n more failed rows")));
    }
    if (const int replaced = count(DeviceOutcome::Superseded); replaced > 0) {
        line(ResultsTableModel::tr("%n row(s) replaced by a later row with the same MAC:", nullptr,
                                   replaced) +
             listedRows(report, withOutcome(DeviceOutcome::Superseded), rowReason,
                        QT_TRANSLATE_N_NOOP("velquor::app::ResultsTableModel",
                                            "... and %n more replaced rows")));
    }
    if (const auto empty = static_cast<int>(report.withEmptyValues()); empty > 0) {
        // A replaced row's file was written over by a later row, which carries its own.
        line(ResultsTableModel::tr("%n row(s) written with empty values:", nullptr, empty) +
             listedRows(
                 report, writtenWithEmptyValues, emptyValuesLine,
                 QT_TRANSLATE_N_NOOP("velquor::app::ResultsTableModel", "... and %n more row(s)")));
    }
    if (report.mixedCase) line(coreText(mac::mixedCaseText()));
    if (!report.checkSumsError.empty()) {
        line(ResultsTableModel::tr("The MD5SUMS list was not written: %1")
                 .arg(coreReason(report.checkSumsError, report.checkSumsErrorPhrase)));
    }
    if (!report.syncError.empty()) {
        line(ResultsTableModel::tr("The files may not have reached the disk: %1")
                 .arg(coreReason(report.syncError, report.syncErrorPhrase)));
    }
    return text;
}

std::size_t RunResults::failureCount() const {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [](const ResultRow& row) { return row.failed; }));
}

QString generationCountsText(const generator::GenerationReport& report, const QString& folder) {
    QString text =
        ResultsTableModel::tr("%n device row(s)", nullptr, static_cast<int>(report.devices.size()));
    if (!report.devices.empty()) {
        text = ResultsTableModel::tr("%1: %2", "rows, then their outcomes")
                   .arg(text, outcomeCounts<generator::DeviceOutcome>(report.devices,
                                                                      generator::outcomeName));
    }
    QStringList parts;
    if (const auto empty = static_cast<int>(report.withEmptyValues()); empty > 0) {
        parts << ResultsTableModel::tr("%n written with empty cells", nullptr, empty);
    }
    if (report.emptyRows > 0) {
        parts << ResultsTableModel::tr("%n empty row(s) skipped", nullptr,
                                       static_cast<int>(report.emptyRows));
    }
    const QString where = report.encrypted
                              ? ResultsTableModel::tr("Folder: %1 (encrypted copies in en/)")
                              : ResultsTableModel::tr("Folder: %1");
    return ResultsTableModel::tr("%1. %2", "the counts, then where the files are")
        .arg(summary(text, parts), where.arg(folder));
}

QString deviceBatchCountsText(const provisioning::DeviceBatchSummary& batch,
                              const QString& macFile) {
    // The file's name, or the window's own for where the cells came from ("the failed rows").
    QString text = fillArguments(ResultsTableModel::tr("%n MAC address(es) in %1", nullptr,
                                                       static_cast<int>(batch.macCells())),
                                 {QFileInfo(macFile).fileName()});
    if (batch.macCells() > 0) {
        text = ResultsTableModel::tr("%1: %2", "rows, then their outcomes")
                   .arg(text, outcomeCounts<provisioning::MacOutcome>(batch.results,
                                                                      provisioning::outcomeName));
    }
    QStringList parts;
    if (batch.emptyCells > 0) {
        parts << ResultsTableModel::tr("%n empty cell(s), nothing to send", nullptr,
                                       static_cast<int>(batch.emptyCells));
    }
    if (batch.cancelled) parts << ResultsTableModel::tr("cancelled", "a batch that was stopped");
    return ResultsTableModel::tr("%1.", "the end of a summary sentence").arg(summary(text, parts));
}

QString deviceBatchSummaryText(const provisioning::DeviceBatchSummary& batch) {
    QString text = coreText(provisioning::batchHeadline(batch));
    const std::vector<std::string> failed = batch.failedMacAddresses();
    if (failed.empty()) return text;
    QStringList listed;
    for (std::size_t i = 0; i < failed.size() && i < provisioning::kMaxListedFailures; ++i) {
        listed << fromUtf8(failed[i]);
    }
    QString macs = listed.join(ResultsTableModel::tr(", ", "between two MAC addresses"));
    const auto shown = static_cast<std::size_t>(listed.size());
    if (failed.size() > shown) {
        macs = ResultsTableModel::tr("%1 and %n more", nullptr,
                                     static_cast<int>(failed.size() - shown))
                   .arg(macs);
    }
    return text + QLatin1Char('\n') + ResultsTableModel::tr("Failed MAC addresses: %1").arg(macs);
}

RunResults generationResults(const generator::GenerationReport& report, const QString& folder) {
    RunResults results;
    results.title = ResultsTableModel::tr("Generate — results");
    results.placeHeader = ResultsTableModel::tr("Row");
    results.showsFiles = true;
    results.counts = generationCountsText(report, folder);
    results.input = folder;
    results.rows.reserve(report.devices.size());
    for (const generator::DeviceResult& device : report.devices) {
        results.rows.push_back(
            ResultRow{device.row, QString::number(device.row), fromUtf8(device.mac),
                      withVisibleWhiteSpace(fromUtf8(device.fileName)),
                      coreText(generator::outcomeName(device.outcome)),
                      coreReason(device.reason, device.reasonPhrase), isGenerationProblem(device)});
    }
    results.report = generator::generationReportTable(report);
    return results;
}

RunResults deviceBatchResults(const provisioning::DeviceBatchSummary& summary,
                              const QString& macFile, bool cellsOfAFile) {
    const bool deleting = summary.command == provisioning::DeviceOperation::Delete;
    RunResults results;
    results.title = deleting ? ResultsTableModel::tr("Delete device — results")
                             : ResultsTableModel::tr("Add device — results");
    if (cellsOfAFile) {
        results.placeHeader = ResultsTableModel::tr("Cell");
        results.input = macFile;
    }
    results.counts = deviceBatchCountsText(summary, macFile);
    results.rows.reserve(summary.results.size());
    for (const provisioning::MacResult& result : summary.results) {
        results.rows.push_back(ResultRow{
            result.row, fromUtf8(sheet::cellName(result.row, result.column)),
            fromUtf8(result.macAddress), QString(),
            coreText(provisioning::outcomeName(result.outcome)),
            coreReason(result.reason, result.reasonPhrase), isDeviceFailure(result.outcome)});
    }
    results.report = provisioning::resultsTable(summary);
    return results;
}

QString withVisibleWhiteSpace(const QString& name) {
    QString shown = name;
    shown.replace(QChar(' '), QChar(0x2423));     // open box
    shown.replace(QChar('\t'), QChar(0x21E5));    // rightwards arrow to bar
    shown.replace(QChar(0x00A0), QChar(0x237D));  // shouldered open box
    return shown;
}

ResultsTableModel::ResultsTableModel(std::vector<ResultRow> rows, QString placeHeader,
                                     bool showsFiles, QObject* parent)
    : QAbstractTableModel(parent), m_rows(std::move(rows)), m_placeHeader(std::move(placeHeader)) {
    if (!m_placeHeader.isEmpty()) m_columns.push_back(kPlaceColumn);
    m_columns.push_back(kMacColumn);
    if (showsFiles) m_columns.push_back(kFileColumn);
    m_columns.insert(m_columns.end(), {kOutcomeColumn, kReasonColumn});
}

int ResultsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ResultsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant ResultsTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ResultRow& row = resultRow(index.row());
    if (role == kFailedRole) return row.failed;
    if (index.column() < 0 || index.column() >= columnCount()) return {};
    const Column column = m_columns[static_cast<std::size_t>(index.column())];
    if (role == kSortRole && column == kPlaceColumn) return row.row;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != kSortRole) return {};
    switch (column) {
        case kPlaceColumn:
            return row.place;
        case kMacColumn:
            return row.mac;
        case kFileColumn:
            return row.file;
        case kOutcomeColumn:
            return row.outcome;
        case kReasonColumn:
            return row.reason;
        default:
            return {};
    }
}

QStringList ResultsTableModel::headers() const {
    QStringList names;
    for (Column column : m_columns) {
        switch (column) {
            case kPlaceColumn:
                names << m_placeHeader;
                break;
            case kMacColumn:
                names << tr("MAC");
                break;
            case kFileColumn:
                names << tr("File");
                break;
            case kOutcomeColumn:
                names << tr("Outcome");
                break;
            case kReasonColumn:
                names << tr("Reason");
                break;
        }
    }
    return names;
}

QVariant ResultsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    const QStringList names = headers();
    return section >= 0 && section < names.size() ? QVariant(names[section]) : QVariant();
}

FailureFilterModel::FailureFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setSortRole(ResultsTableModel::kSortRole);
}

void FailureFilterModel::setFailuresOnly(bool only) {
    if (only == m_failuresOnly) return;
    m_failuresOnly = only;
    invalidateFilter();
}

void FailureFilterModel::setTypedFilter(const QString& typed) {
    m_search = RowSearch(typed);
    invalidateFilter();
}

bool FailureFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (m_failuresOnly && !sourceModel()
                               ->index(sourceRow, 0, sourceParent)
                               .data(ResultsTableModel::kFailedRole)
                               .toBool()) {
        return false;
    }
    if (m_search.empty()) return true;
    const auto* results = qobject_cast<const ResultsTableModel*>(sourceModel());
    return results == nullptr || m_search.matches(results->resultRow(sourceRow));
}

namespace {

// The hex digits of a MAC as typed or as a cell holds it, lower case, its separators
// dropped; empty when anything else is in it.
QString macDigits(const QString& text) {
    QString digits;
    for (const QChar c : text) {
        if (c == QLatin1Char(':') || c == QLatin1Char('-') || c == QLatin1Char('.') ||
            c.isSpace()) {
            continue;
        }
        if (c.unicode() > 0x7f || std::isxdigit(static_cast<unsigned char>(c.unicode())) == 0) {
            return {};
        }
        digits += c.toLower();
    }
    return digits;
}

}  // namespace

RowSearch::RowSearch(const QString& typed) : m_typed(typed.trimmed()) {
    if (m_typed.isEmpty()) return;
    m_canonical = mac::canonicalMac(m_typed.toStdString()).value_or(std::string());
    m_digits = macDigits(m_typed);
    constexpr int kHalfAMac = 6;
    bool number = false;
    m_typed.toInt(&number);
    m_rowNumber = number && m_typed.size() < kHalfAMac;
}

bool RowSearch::matches(const ResultRow& row) const {
    if (m_rowNumber) {
        return QString::number(row.row) == m_typed ||
               row.place.compare(m_typed, Qt::CaseInsensitive) == 0;
    }
    if (!m_canonical.empty() &&
        mac::canonicalMac(row.mac.toStdString()).value_or(std::string()) == m_canonical) {
        return true;
    }
    if (!m_digits.isEmpty() && macDigits(row.mac).contains(m_digits)) return true;
    for (const QString* cell : {&row.place, &row.mac, &row.file, &row.outcome, &row.reason}) {
        if (cell->contains(m_typed, Qt::CaseInsensitive)) return true;
    }
    return false;
}

}  // namespace velquor::app
