// JobProgressDialog: label, elided detail line, bar and Cancel at a fixed width.
#include "app/kit/progress/progress_dialog.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/kit/window/control_window.h"

namespace velquor::app {
namespace {

constexpr int kBarScale = 1000;
// Wide enough for a MAC address with its counts, narrow enough for the smallest screens.
constexpr int kWidthInCharacters = 56;

}  // namespace

JobProgressDialog::JobProgressDialog(const QString& label, QWidget* owner)
    : QDialog(owner),
      m_label(new QLabel(label, this)),
      m_detailLabel(new QLabel(this)),
      m_bar(new QProgressBar(this)),
      m_cancel(new QPushButton(tr("Cancel"), this)) {
    // The product's name, as the main window's title has it; not the program's file name.
    setWindowTitle(productTitle());
    setWindowModality(Qt::ApplicationModal);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    m_label->setTextFormat(Qt::PlainText);
    m_detailLabel->setTextFormat(Qt::PlainText);
    m_bar->setRange(0, kBarScale);
    m_bar->setValue(0);
    m_cancel->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_detailLabel);
    layout->addWidget(m_bar);
    layout->addLayout(buttons);
    setFixedWidth(fontMetrics().averageCharWidth() * kWidthInCharacters);
    setFixedHeight(sizeHint().height());

    connect(m_cancel, &QPushButton::clicked, this, &JobProgressDialog::cancelRequested);
}

QString JobProgressDialog::labelText() const {
    return m_label->text();
}

void JobProgressDialog::setLabelText(const QString& text) {
    const QString elided = m_label->fontMetrics().elidedText(text, Qt::ElideRight, labelWidth());
    if (m_label->text() != elided) m_label->setText(elided);
}

void JobProgressDialog::setDetailText(const QString& text) {
    m_detail = text;
    const QString elided =
        m_detailLabel->fontMetrics().elidedText(text, Qt::ElideMiddle, labelWidth());
    if (m_detailLabel->text() != elided) m_detailLabel->setText(elided);
}

void JobProgressDialog::setProgress(std::uint64_t done, std::uint64_t total) {
    if (total == 0) {
        m_bar->setRange(0, 0);
        return;
    }
    m_bar->setRange(0, kBarScale);
    const std::uint64_t clamped = done < total ? done : total;
    m_bar->setValue(static_cast<int>(clamped * kBarScale / total));
}

void JobProgressDialog::showCancelling() {
    setLabelText(tr("Cancelling…"));
    // Disabled rather than removed: this runs inside the button's own click.
    m_cancel->setEnabled(false);
}

void JobProgressDialog::reject() {
    emit cancelRequested();
}

int JobProgressDialog::labelWidth() const {
    const QMargins margins = layout()->contentsMargins();
    return width() - margins.left() - margins.right();
}

}  // namespace velquor::app
