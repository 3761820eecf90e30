// ResultsView: the table of a run's rows, its filter, Copy and Save.
#include "app/results/results_view.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/kit/prompts/prompter.h"
#include "app/kit/window/control_window.h"
#include "app/kit/window/keyboard_access.h"
#include "app/results/table_actions.h"

namespace velquor::app {
namespace {

// Column widths from the header and the first rows only: measuring every row of a 20,000-row
// run would stall the window for as long as it takes.
void sizeColumns(QTableView* table) {
    QHeaderView* header = table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    header->setResizeContentsPrecision(50);
    for (int column = 0; column + 1 < table->model()->columnCount(); ++column) {
        table->resizeColumnToContents(column);
    }
}

// The reason column as wide as its longest reason, so that every reason shows whole (the
// table scrolls sideways instead of cutting it); it still fills the view when narrower.
void widenReasonColumn(QTableView* table, const ResultsTableModel& model) {
    const QFontMetrics metrics = table->fontMetrics();
    int widest = metrics.horizontalAdvance(
        model.headerData(model.reasonColumn(), Qt::Horizontal).toString());
    for (int row = 0; row < model.rowCount(); ++row) {
        widest = std::max(widest, metrics.horizontalAdvance(model.resultRow(row).reason));
    }
    constexpr int kCellPadding = 16;
    table->horizontalHeader()->resizeSection(model.reasonColumn(), widest + kCellPadding);
}

}  // namespace

ResultsView::ResultsView(Prompter& prompter, RunResults results, QWidget* parent)
    : QDialog(parent), m_results(std::move(results)) {
    setWindowTitle(m_results.title);
    setWindowFlag(Qt::Window);
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    addQuitShortcut(this);

    m_model = new ResultsTableModel(std::move(m_results.rows), m_results.placeHeader,
                                    m_results.showsFiles, this);
    m_results.rows.clear();
    m_filter = new FailureFilterModel(this);
    m_filter->setSourceModel(m_model);

    m_counts = new QLabel(m_results.counts, this);
    m_counts->setWordWrap(true);
    m_counts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_failuresOnly = new QCheckBox(tr("Problems only"), this);
    m_table = newRowTable(this, m_filter);
    m_table->sortByColumn(ResultsTableModel::kPlaceColumn, Qt::AscendingOrder);
    sizeColumns(m_table);
    widenReasonColumn(m_table, *m_model);
    m_actions = new RowTableActions(
        *this, prompter, *m_table, *m_filter, [this] { return m_results.report; },
        [this](const QString& typed) { m_filter->setTypedFilter(typed); }, m_results.input);
    m_actions->filterBox()->setPlaceholderText(tr("Find a MAC or row"));
    auto* filters = new QWidget(this);
    auto* filtersLayout = new QHBoxLayout(filters);
    filtersLayout->setContentsMargins(0, 0, 0, 0);
    filtersLayout->addWidget(m_actions->filterBox());
    filtersLayout->addWidget(m_failuresOnly);

    auto* close = new QPushButton(tr("Close"), this);
    m_retry = new QPushButton(this);
    m_retry->hide();
    layOutRowTable(*this, m_counts, filters, m_table, m_retry,
                   {m_actions->copyButton(), m_actions->saveButton(), close});
    // The keyboard goes through the view as it reads: the filters, the rows, the buttons.
    QWidget::setTabOrder(m_actions->filterBox(), m_failuresOnly);
    QWidget::setTabOrder(m_failuresOnly, m_table);
    QWidget::setTabOrder(m_table, m_retry);
    QWidget::setTabOrder(m_retry, m_actions->copyButton());
    QWidget::setTabOrder(m_actions->copyButton(), m_actions->saveButton());
    QWidget::setTabOrder(m_actions->saveButton(), close);
    resize(720, 420);

    // With failures, they are what the operator opened the view for.
    m_failuresOnly->setEnabled(m_model->rowCount() > 0);
    connect(m_failuresOnly, &QCheckBox::toggled, m_filter, &FailureFilterModel::setFailuresOnly);
    connect(m_failuresOnly, &QCheckBox::toggled, m_actions, &RowTableActions::updateButtons);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
}

ResultsView* ResultsView::open(ControlWindow& owner, RunResults results, Filters filters) {
    // The new run takes the place of the last one on the screen, not a new one.
    QRect place;
    QString typed;
    bool problemsOnly = false;
    for (ResultsView* previous : owner.findChildren<ResultsView*>(Qt::FindDirectChildrenOnly)) {
        if (previous->isVisible()) place = previous->geometry();
        typed = previous->filterBox()->text();
        problemsOnly = previous->m_failuresOnly->isChecked();
        delete previous;
    }
    auto* view = new ResultsView(owner.prompter(), std::move(results), &owner);
    if (place.isValid()) view->setGeometry(place);
    if (filters == Filters::Kept) {
        view->filterBox()->setText(typed);
        view->m_failuresOnly->setChecked(problemsOnly && view->m_failuresOnly->isEnabled());
    }
    view->show();
    view->raise();
    return view;
}

QString ResultsView::countsText() const {
    return m_counts->text();
}

void ResultsView::offerRetry(int count, std::function<void()> retry) {
    setTextKeepingAltKey(*m_retry, tr("Retry failed rows (%n)", nullptr, count));
    m_retry->show();
    connect(m_retry, &QPushButton::clicked, this, [this, retry = std::move(retry)] {
        m_retry->setEnabled(false);
        retry();
    });
}

void ResultsView::offerFollowUp(const QString& text, std::function<void()> action) {
    setTextKeepingAltKey(*m_retry, text);
    m_retry->show();
    connect(m_retry, &QPushButton::clicked, this, std::move(action));
}

int ResultsView::visibleRowCount() const {
    return m_filter->rowCount();
}

void ResultsView::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    if (owner != nullptr && owner->isVisible()) owner->activateWindow();
}

}  // namespace velquor::app
