// The results table of a bulk run: rows taken from the core's report, their counts, and the
// model and filter behind the results view.
#include "app/results_model.h"

#include <QFileInfo>
#include <algorithm>
#include <map>

#include "generator/generation_report.h"
#include "sheet/cell_name.h"

namespace velquor::app {
namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "295 added, 5 failed": each outcome that occurred, in the order the outcomes are declared.
template <typename Outcome, typename Rows, typename NameOf>
QString outcomeCounts(const Rows& rows, NameOf nameOf) {
    std::map<Outcome, std::size_t> counts;
    for (const auto& row : rows) ++counts[row.outcome];
    QStringList parts;
    for (const auto& [outcome, count] : counts) {
        parts << QStringLiteral("%1 %2").arg(count).arg(fromUtf8(nameOf(outcome)));
    }
    return parts.join(QStringLiteral(", "));
}

bool isGenerationFailure(generator::DeviceOutcome outcome) {
    return outcome == generator::DeviceOutcome::Failed ||
           outcome == generator::DeviceOutcome::Cancelled ||
           outcome == generator::DeviceOutcome::Refused;
}

// Whatever the operator has to look at again: refused, unsent, or sent with no answer.
bool isDeviceFailure(provisioning::MacOutcome outcome) {
    return outcome != provisioning::MacOutcome::Added &&
           outcome != provisioning::MacOutcome::Replaced &&
           outcome != provisioning::MacOutcome::Declined &&
           outcome != provisioning::MacOutcome::Deleted &&
           outcome != provisioning::MacOutcome::Usable;
}

QString plural(std::size_t count, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(count).arg(QString::fromLatin1(count == 1 ? one : many));
}

}  // namespace

std::size_t RunResults::failureCount() const {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [](const ResultRow& row) { return row.failed; }));
}

QString generationCountsText(const generator::GenerationReport& report, const QString& folder) {
    QString text = plural(report.devices.size(), "device row", "device rows");
    if (!report.devices.empty()) {
        text += QStringLiteral(": ") +
                outcomeCounts<generator::DeviceOutcome>(report.devices, generator::outcomeName);
    }
    if (report.emptyRows > 0) {
        text += QStringLiteral("; ") + plural(report.emptyRows, "empty row", "empty rows") +
                QStringLiteral(" skipped");
    }
    text += QStringLiteral(". Folder: %1").arg(folder);
    if (report.encrypted) text += QStringLiteral(" (encrypted copies in en/)");
    return text;
}

QString deviceBatchCountsText(const provisioning::DeviceBatchSummary& summary,
                              const QString& macFile) {
    QString text = plural(summary.results.size(), "MAC address", "MAC addresses");
    text += QStringLiteral(" in %1").arg(QFileInfo(macFile).fileName());
    if (!summary.results.empty()) {
        text += QStringLiteral(": ") +
                outcomeCounts<provisioning::MacOutcome>(summary.results, provisioning::outcomeName);
    }
    if (summary.emptyCells > 0) {
        text += QStringLiteral("; ") + plural(summary.emptyCells, "empty cell", "empty cells") +
                QStringLiteral(" skipped");
    }
    if (summary.cancelled) text += QStringLiteral("; cancelled");
    return text + '.';
}

RunResults generationResults(const generator::GenerationReport& report, const QString& folder) {
    RunResults results;
    results.title = QStringLiteral("Generate — results");
    results.placeHeader = QStringLiteral("Row");
    results.showsFiles = true;
    results.counts = generationCountsText(report, folder);
    results.rows.reserve(report.devices.size());
    for (const generator::DeviceResult& device : report.devices) {
        results.rows.push_back(
            ResultRow{device.row, QString::number(device.row), fromUtf8(device.mac),
                      withVisibleWhiteSpace(fromUtf8(device.fileName)),
                      fromUtf8(generator::outcomeName(device.outcome)), fromUtf8(device.reason),
                      isGenerationFailure(device.outcome)});
    }
    results.report = generator::generationReportTable(report);
    return results;
}

RunResults deviceBatchResults(const provisioning::DeviceBatchSummary& summary,
                              const QString& macFile) {
    const bool deleting = summary.command == provisioning::DeviceOperation::Delete;
    RunResults results;
    results.title = deleting ? QStringLiteral("Delete device — results")
                             : QStringLiteral("Add device — results");
    results.placeHeader = QStringLiteral("Cell");
    results.counts = deviceBatchCountsText(summary, macFile);
    results.rows.reserve(summary.results.size());
    for (const provisioning::MacResult& result : summary.results) {
        results.rows.push_back(ResultRow{result.row,
                                         fromUtf8(sheet::cellName(result.row, result.column)),
                                         fromUtf8(result.macAddress), QString(),
                                         fromUtf8(provisioning::outcomeName(result.outcome)),
                                         fromUtf8(result.reason), isDeviceFailure(result.outcome)});
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
    m_columns = {kPlaceColumn, kMacColumn};
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
    if (role == kSortRole && index.column() == kPlaceColumn) return row.row;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != kSortRole) return {};
    if (index.column() < 0 || index.column() >= columnCount()) return {};
    switch (m_columns[static_cast<std::size_t>(index.column())]) {
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
                names << QStringLiteral("MAC");
                break;
            case kFileColumn:
                names << tr("File");
                break;
            case kOutcomeColumn:
                names << QStringLiteral("Outcome");
                break;
            case kReasonColumn:
                names << QStringLiteral("Reason");
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

bool FailureFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (!m_failuresOnly) return true;
    return sourceModel()
        ->index(sourceRow, 0, sourceParent)
        .data(ResultsTableModel::kFailedRole)
        .toBool();
}

}  // namespace velquor::app
