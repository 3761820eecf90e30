// The filter box, Copy and Save of a table of rows; see row_table_actions.h.
#include "app/results/row_table_actions.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <QTableView>

#include "app/results/table_actions.h"

namespace velquor::app {

RowTableActions::RowTableActions(QWidget& view, Prompter& prompter, QTableView& table,
                                 QSortFilterProxyModel& shown, Report report, Typed typed,
                                 QString besideInput)
    : QObject(&view),
      m_view(view),
      m_prompter(prompter),
      m_table(table),
      m_shown(shown),
      m_report(std::move(report)),
      m_besideInput(std::move(besideInput)),
      m_filterBox(new QLineEdit(&view)),
      m_copy(new QPushButton(&view)),
      m_save(new QPushButton(&view)) {
    m_filterBox->setPlaceholderText(tr("Filter"));
    m_filterBox->setClearButtonEnabled(true);
    connect(m_filterBox, &QLineEdit::textChanged, this,
            [this, typed = std::move(typed)](const QString& text) {
                typed(text);
                updateButtons();
            });
    connect(m_table.selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RowTableActions::updateButtons);
    connect(&m_shown, &QAbstractItemModel::modelReset, this, &RowTableActions::updateButtons);
    connect(&m_shown, &QAbstractItemModel::layoutChanged, this, &RowTableActions::updateButtons);
    connect(m_copy, &QPushButton::clicked, this, &RowTableActions::copyRows);
    connect(m_save, &QPushButton::clicked, this, &RowTableActions::saveReport);
    updateButtons();
}

void RowTableActions::updateButtons() {
    nameCopyAndSave(*m_copy, *m_save, m_table, m_shown);
}

void RowTableActions::copyRows() {
    const QAbstractItemModel& source = *m_shown.sourceModel();
    QStringList headers;
    for (int column = 0; column < source.columnCount(); ++column) {
        headers << source.headerData(column, Qt::Horizontal).toString();
    }
    QGuiApplication::clipboard()->setText(
        rowsAsTabText(source, headers, actedSourceRows(m_table, m_shown)));
}

bool RowTableActions::saveReport() {
    return saveRowsAsReport(&m_view, m_prompter,
                            reportRows(m_report(), actedSourceRows(m_table, m_shown)),
                            m_besideInput);
}

}  // namespace velquor::app
