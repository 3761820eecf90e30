// Copy and Save of a table's rows, shared by the results of a run and the device tables.
#include "app/results/table_actions.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>

#include "app/kit/inputs/input_history.h"
#include "app/kit/prompts/prompter.h"
#include "app/kit/window/control_window.h"
#include "app/kit/window/keyboard_access.h"
#include "app/language/core_texts.h"
#include "report/report_file.h"

namespace velquor::app {
namespace {

// The typed name with the chosen type's extension (.xlsx for a workbook, else .csv) when it
// has none; empty when that name is an existing file the operator would not replace.
QString reportPathFor(QWidget* owner, Prompter& prompter, const QString& typed, bool workbook) {
    if (!QFileInfo(typed).suffix().isEmpty()) return typed;
    const QString path = typed + (workbook ? QStringLiteral(".xlsx") : QStringLiteral(".csv"));
    // The dialog asked about the name as typed, not about this one.
    if (!QFileInfo::exists(path)) return path;
    const Answer answer = prompter.message(
        owner, MessageRequest{QCoreApplication::translate("velquor::app::ResultsView",
                                                          "%1 already exists. Replace it?")
                                  .arg(path),
                              applicationTitle(), MessageButtons::YesNoDefaultNo,
                              MessageIcon::Warning, QString()});
    return answer == Answer::Yes ? path : QString();
}

}  // namespace

void TypedRowFilter::setTyped(const QString& typed) {
    static const QRegularExpression kSeparators(QStringLiteral("[\\s:.\\-]"));
    m_typed = typed.trimmed();
    m_hexDigits = QString(m_typed).remove(kSeparators);
}

bool TypedRowFilter::accepts(const QAbstractItemModel& source, int row, int macColumn) const {
    if (m_typed.isEmpty()) return true;
    for (int column = 0; column < source.columnCount(); ++column) {
        const QString cell = source.index(row, column).data().toString();
        if (cell.contains(m_typed, Qt::CaseInsensitive)) return true;
        const bool macCell = column == macColumn && !m_hexDigits.isEmpty();
        if (macCell && cell.contains(m_hexDigits, Qt::CaseInsensitive)) return true;
    }
    return false;
}

QTableView* newRowTable(QWidget* parent, QSortFilterProxyModel* shown) {
    auto* table = new QTableView(parent);
    table->setModel(shown);
    table->setSortingEnabled(true);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->setAlternatingRowColors(true);
    // One line of text a row, at the font's height: the style's default leaves a third of
    // the rows a screen could show.
    QHeaderView* rows = table->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(0);
    rows->setDefaultSectionSize(table->fontMetrics().height() + 6);
    rows->hide();
    return table;
}

void layOutRowTable(QWidget& view, QWidget* counts, QWidget* besideCounts, QTableView* table,
                    QPushButton* ownButton, const QList<QPushButton*>& rightButtons) {
    auto* top = new QHBoxLayout;
    top->addWidget(counts, 1);
    top->addWidget(besideCounts);
    auto* buttons = new QHBoxLayout;
    ownButton->setAutoDefault(false);
    buttons->addWidget(ownButton);
    buttons->addStretch(1);
    for (QPushButton* button : rightButtons) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    auto* layout = new QVBoxLayout(&view);
    layout->addLayout(top);
    layout->addWidget(table, 1);
    layout->addLayout(buttons);
}

QList<int> actedSourceRows(const QTableView& table, const QSortFilterProxyModel& shown) {
    QList<int> shownRows;
    for (const QModelIndex& index : table.selectionModel()->selectedRows()) {
        shownRows << index.row();
    }
    if (shownRows.isEmpty()) {
        for (int row = 0; row < shown.rowCount(); ++row) shownRows << row;
    }
    std::sort(shownRows.begin(), shownRows.end());
    QList<int> sourceRows;
    sourceRows.reserve(shownRows.size());
    for (int row : shownRows) sourceRows << shown.mapToSource(shown.index(row, 0)).row();
    return sourceRows;
}

QString rowsAsTabText(const QAbstractItemModel& source, const QStringList& headers,
                      const QList<int>& rows) {
    QStringList lines{headers.join('\t')};
    for (int row : rows) {
        QStringList fields;
        for (int column = 0; column < source.columnCount(); ++column) {
            fields << source.index(row, column).data().toString();
        }
        lines << fields.join('\t');
    }
    return lines.join('\n') + '\n';
}

void nameCopyAndSave(QPushButton& copy, QPushButton& save, const QTableView& table,
                     const QSortFilterProxyModel& shown) {
    const auto selected = static_cast<int>(table.selectionModel()->selectedRows().size());
    const int showing = shown.rowCount();
    if (selected > 0) {
        setTextKeepingAltKey(
            copy, QCoreApplication::translate("velquor::app::ResultsView", "Copy selected (%n)",
                                              nullptr, selected));
        setTextKeepingAltKey(
            save, QCoreApplication::translate("velquor::app::ResultsView", "Save selected (%n)…",
                                              nullptr, selected));
    } else if (shown.sourceModel() != nullptr && showing < shown.sourceModel()->rowCount()) {
        setTextKeepingAltKey(
            copy, QCoreApplication::translate("velquor::app::ResultsView", "Copy shown (%n)",
                                              nullptr, showing));
        setTextKeepingAltKey(
            save, QCoreApplication::translate("velquor::app::ResultsView", "Save shown (%n)…",
                                              nullptr, showing));
    } else {
        setTextKeepingAltKey(copy,
                             QCoreApplication::translate("velquor::app::ResultsView", "Copy all"));
        setTextKeepingAltKey(save,
                             QCoreApplication::translate("velquor::app::ResultsView", "Save all…"));
    }
}

report::ReportTable reportRows(const report::ReportTable& report, const QList<int>& rows) {
    report::ReportTable table{report.header, {}};
    table.rows.reserve(static_cast<std::size_t>(rows.size()));
    for (int row : rows) table.rows.push_back(report.rows.at(static_cast<std::size_t>(row)));
    return table;
}

bool saveRowsAsReport(QWidget* owner, Prompter& prompter, const report::ReportTable& table,
                      const QString& besideInput) {
    const QString csvFilter =
        QCoreApplication::translate("velquor::app::ResultsView", "CSV files (*.csv)");
    const QString xlsxFilter =
        QCoreApplication::translate("velquor::app::ResultsView", "Spreadsheet workbooks (*.xlsx)");
    QString chosenFilter = csvFilter;
    const std::optional<QString> typed = prompter.saveFile(
        owner, QCoreApplication::translate("velquor::app::ResultsView", "Save the report"),
        csvFilter + QStringLiteral(";;") + xlsxFilter,
        InputHistory::load().startFolder(history_key::kReport, {besideInput}), &chosenFilter);
    if (!typed) return false;
    const QString path = reportPathFor(owner, prompter, *typed, chosenFilter == xlsxFilter);
    if (path.isEmpty()) return false;
    InputHistory::update(
        [&](InputHistory& history) { history.rememberFolderOf(history_key::kReport, path); });
    const support::Status written = report::writeReport(localPath(path), table);
    if (written) return true;
    prompter.message(owner, MessageRequest{QCoreApplication::translate("velquor::app::ResultsView",
                                                                       "The report was not saved."),
                                           applicationTitle(), MessageButtons::Ok,
                                           MessageIcon::Warning, coreSentence(written.error())});
    return false;
}

}  // namespace velquor::app
