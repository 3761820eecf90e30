// JobProgressDialog: the modal box shown while a command runs in the background — the
// command's label, the item it is working on beneath it, a bar and Cancel. Its width is fixed
// and long item texts are elided in the middle, so a long path never pushes Cancel off-screen.
// It never shows itself: ProgressTask decides when it appears and when it goes.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;

namespace velquor::app {

// What the line beneath the command's label says about the job's progress.
enum class ProgressDetail {
    None,  // nothing: the bar says it all
    Path,  // the file being read or written (the job counts bytes)
    Item,  // the item at hand with its place: "001500004604 (12 of 300)"
};

class JobProgressDialog final : public QDialog {
    Q_OBJECT

public:
    JobProgressDialog(const QString& label, QWidget* owner);

    QString labelText() const;
    QString detailText() const { return m_detail; }
    QProgressBar* bar() const { return m_bar; }
    QPushButton* cancelButton() const { return m_cancel; }

    void setLabelText(const QString& text);
    // The line beneath the label, elided to the dialog's width.
    void setDetailText(const QString& text);
    // total 0 shows a busy bar.
    void setProgress(std::uint64_t done, std::uint64_t total);
    // After Cancel: the label says so and the button no longer takes clicks.
    void showCancelling();

    // Escape and the close box ask for the stop like Cancel; the dialog stays up until the
    // job has returned.
    void reject() override;

signals:
    void cancelRequested();

private:
    int labelWidth() const;

    QLabel* m_label;
    QLabel* m_detailLabel;
    QProgressBar* m_bar;
    QPushButton* m_cancel;
    QString m_detail;
};

}  // namespace velquor::app
