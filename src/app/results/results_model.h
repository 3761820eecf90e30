// The outcome of a bulk run (Generate, Device Add, Device Delete) as a table: one line per row
// of the run, built once from the core's report, shown by ResultsView through a model that
// stays quick at tens of thousands of rows, with a filter that keeps only the rows that went
// wrong.
#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "generator/run/generation_job.h"
#include "provisioning/kesto_operations.h"
#include "report/report_table.h"

namespace velquor::app {

struct ResultRow {
    int row = 0;          // the sheet row, 1-based: sorts the first column
    QString place;        // what the first column shows: "12", or a cell such as "B12"
    QString mac;          // the MAC address (or the cell's text)
    QString file;         // Generate: the device file's name, white space made visible
    QString outcome;      // the word the CLI's report uses: "written", "added", "failed", ...
    QString reason;       // why it failed, or a note on a row that was fine
    bool failed = false;  // kept by the "problems only" filter (with rows of empty values)
};

// Everything a results view shows of one run.
struct RunResults {
    QString title;            // the window's title
    QString placeHeader;      // "Row" or "Cell"
    bool showsFiles = false;  // a File column (Generate names one file per row)
    QString counts;           // the line above the table
    std::vector<ResultRow> rows;
    // The report, exactly as the CLI's --report writes it for the same run: its row i is
    // rows[i].
    report::ReportTable report;

    std::size_t failureCount() const;
};

// A Generate run; folder is where its files went.
RunResults generationResults(const generator::GenerationReport& report, const QString& folder);
// A Device Add or Delete run over macFile.
RunResults deviceBatchResults(const provisioning::DeviceBatchSummary& summary,
                              const QString& macFile);

// A file name with its spaces, tabs and no-break spaces shown as visible marks, so that a
// name ending in a space does not pass for one without.
QString withVisibleWhiteSpace(const QString& name);

// The counts of a run in one line, for the completion box's detail and the results view.
// The box that ends a generation that did not write every row: what was written, what was
// skipped, cancelled, failed or replaced (the first rows of each with their reasons), the rows
// written with empty values, and a failed flush to the disk. The window's own wording of the
// report the core summarises in English for the CLI.
QString generationSummary(const generator::GenerationReport& report);
QString generationCountsText(const generator::GenerationReport& report, const QString& folder);
QString deviceBatchCountsText(const provisioning::DeviceBatchSummary& summary,
                              const QString& macFile);
// The batch's closing text in the window's own words, from the summary's data: how the batch
// ended and the failed MAC addresses (the counts go beneath it, as above). Shown in place of the
// core's English summary when the window has a translation.
QString deviceBatchSummaryText(const provisioning::DeviceBatchSummary& summary);

class ResultsTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    // The columns a model may have; the place is always the first, the reason the last.
    enum Column { kPlaceColumn, kMacColumn, kFileColumn, kOutcomeColumn, kReasonColumn };
    // The role sorting uses: numbers for the first column, so row 10 follows row 9.
    static constexpr int kSortRole = Qt::UserRole;
    static constexpr int kFailedRole = Qt::UserRole + 1;

    ResultsTableModel(std::vector<ResultRow> rows, QString placeHeader, bool showsFiles = false,
                      QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    const ResultRow& resultRow(int row) const { return m_rows[static_cast<std::size_t>(row)]; }
    // Where the reason column is: the last, after the File column when there is one.
    int reasonColumn() const { return static_cast<int>(m_columns.size()) - 1; }
    QStringList headers() const;

private:
    std::vector<ResultRow> m_rows;
    QString m_placeHeader;
    std::vector<Column> m_columns;
};

// Sorting by any column, and "failures only".
// What the results view's filter box holds, read once. A MAC in any spelling finds its phone's
// rows (the whole address compared canonically; a part of one, with or without separators, in
// either case, found within the digits); a number shorter than half a MAC is a row; anything
// else is looked for in every column.
class RowSearch {
public:
    RowSearch() = default;
    explicit RowSearch(const QString& typed);

    bool empty() const { return m_typed.isEmpty(); }
    bool matches(const ResultRow& row) const;

private:
    QString m_typed;
    std::string m_canonical;  // the typed MAC's 12 digits, empty when it is none
    QString m_digits;         // hex digits with the separators dropped, lower case
    bool m_rowNumber = false;
};

class FailureFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit FailureFilterModel(QObject* parent = nullptr);
    bool failuresOnly() const { return m_failuresOnly; }
    void setFailuresOnly(bool only);
    // Keeps the rows the typed text finds (RowSearch); empty keeps all.
    void setTypedFilter(const QString& typed);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool m_failuresOnly = false;
    RowSearch m_search;
};

}  // namespace velquor::app
