// The Prompter pieces: filters as Qt's own file dialog reads them, real message boxes answered
// through QtPrompter, and the scripted prompter's defaults.
#include "app/kit/prompts/prompter.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>

#include "app/kit/window/control_window.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"

using namespace velquor::app;
using velquor::testing::MessageBoxClicker;

namespace {

// The globs Qt's own file dialog takes from a filter text.
QStringList globsQtReads(const QString& filter) {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(filter);
    auto* model = dialog.findChild<QFileSystemModel*>();
    return model ? model->nameFilters() : QStringList{"<no model>"};
}

// The lines a word-wrapped label makes of text at width, as the operator reads them.
QStringList linesAsLaidOut(const QString& text, const QFont& font, int width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines << text.mid(line.textStart(), line.textLength()).remove(QChar(0x2060));
    }
    layout.endLayout();
    return lines;
}

class WindowWithRealMessages : public ControlWindow {
public:
    explicit WindowWithRealMessages(Prompter& prompter) : ControlWindow(prompter) {}
};

}  // namespace

class PrompterTest : public QObject {
    Q_OBJECT

private slots:
    void filtersKeepTheirDescriptionsAndQtReadsTheirPatterns() {
        QCOMPARE(qtFileFilter("(*.xml)|*.xml|"), QString("(*.xml) (*.xml)"));
        QCOMPARE(globsQtReads(qtFileFilter("(*.xml)|*.xml|")), QStringList{"*.xml"});

        // The description without its closing parenthesis must not swallow the pattern.
        QCOMPARE(qtFileFilter("(*.*|*.*|"), QString("(*.* (*)"));
        QCOMPARE(globsQtReads(qtFileFilter("(*.*|*.*|")), QStringList{"*"});

        QCOMPARE(globsQtReads(qtFileFilter("(*.xlsx)|*.xlsx;*.csv|")),
                 (QStringList{"*.xlsx", "*.csv"}));
        QCOMPARE(qtFileFilter("Text|*.txt|All|*.*|"), QString("Text (*.txt);;All (*)"));
    }

    void namedFiltersListEachKindOnItsOwn() {
        QCOMPARE(qtFileFilter("Configuration files|*.xml|All files|*|"),
                 QString("Configuration files (*.xml);;All files (*)"));
        QCOMPARE(globsQtReads(qtFileFilter("Spreadsheets|*.xlsx;*.xlsm;*.csv|")),
                 (QStringList{"*.xlsx", "*.xlsm", "*.csv"}));
    }

    // A question whose Yes cannot be taken back: Enter and Escape both answer No.
    void aCautiousQuestionTakesNoForEnterAndEscape() {
        QtPrompter prompter;
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            QTimer poll;
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box) return;
                poll.stop();
                defaultButton = box->standardButton(box->defaultButton());
                QTest::keyClick(box, key);
            });
            poll.start(20);
            const MessageRequest question{"Delete user gina?",
                                          "Delete user",
                                          MessageButtons::YesNoDefaultNo,
                                          MessageIcon::Question,
                                          {}};
            QCOMPARE(prompter.message(nullptr, question), Answer::No);
            QCOMPARE(defaultButton, QMessageBox::No);
        }
    }

    // A warning whose Continue would send or write something useless (a Server text that
    // leads nowhere): Enter and Escape both cancel; a findings question's Enter shows the rows.
    void aWarningTakesItsSafeAnswerForEnter() {
        QtPrompter prompter;
        const struct {
            MessageButtons buttons;
            Qt::Key key;
            Answer expected;
        } cases[] = {
            {MessageButtons::ContinueCancel, Qt::Key_Return, Answer::Cancel},
            {MessageButtons::ContinueCancel, Qt::Key_Escape, Answer::Cancel},
            {MessageButtons::ShowRowsContinueCancel, Qt::Key_Return, Answer::ShowRows},
            {MessageButtons::ShowRowsContinueCancel, Qt::Key_Escape, Answer::Cancel},
        };
        for (const auto& one : cases) {
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box) return;
                poll.stop();
                QTest::keyClick(box, one.key);
            });
            poll.start(20);
            const MessageRequest warning{
                "The Server text is empty: the phones will be sent nowhere.",
                "Add device",
                one.buttons,
                MessageIcon::Warning,
                {}};
            QCOMPARE(prompter.message(nullptr, warning), one.expected);
        }
    }

    // A box with a detail line is as wide as its caption needs, and its detail label as wide
    // as the longest path in it, so the path is not broken in its middle, not even after the
    // words before it; what the operator copies is the text as written.
    void aBoxWithADetailLineFitsItsCaptionAndItsPath() {
        QtPrompter prompter;
        const QString path = QStringLiteral(
                                 "/srv/provisioning/site-%1/phones/templates/"
                                 "device-configuration-template.xml")
                                 .arg(QString(4, 'n'));
        const QString caption = QStringLiteral("Generate configuration files for every phone");
        int boxWidth = 0;
        int labelWidth = 0;
        QStringList detailLines;
        QString copied;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            poll.stop();
            boxWidth = box->width();
            for (auto* label : box->findChildren<QLabel*>()) {
                if (!label->text().contains(QStringLiteral("Permission"))) continue;
                labelWidth = label->width();
                detailLines = linesAsLaidOut(label->text(), label->font(), labelWidth);
                // What selecting the whole label and copying it puts on the clipboard.
                QApplication::clipboard()->setText(label->text());
            }
            copied = QApplication::clipboard()->text();
            box->button(QMessageBox::Ok)->click();
        });
        poll.start(20);
        // The words before the path take most of a line: the path must move down whole.
        const QString before =
            QStringLiteral("the template for these phones, %1, cannot open").arg(QString(30, 'w'));
        prompter.message(nullptr, MessageRequest{"The template could not be read.", caption,
                                                 MessageButtons::Ok, MessageIcon::Warning,
                                                 before + " " + path + ": Permission denied"});
        QVERIFY2(std::any_of(detailLines.begin(), detailLines.end(),
                             [&](const QString& line) { return line.contains(path); }),
                 qPrintable(detailLines.join(QStringLiteral(" | "))));
        QVERIFY2(copied.contains(path + ": Permission denied"), qPrintable(copied));
        const QFontMetrics metrics(QApplication::font());
        QVERIFY2(
            labelWidth >= metrics.horizontalAdvance(path),
            qPrintable(
                QStringLiteral("%1 < %2").arg(labelWidth).arg(metrics.horizontalAdvance(path))));
        QVERIFY(boxWidth >= metrics.horizontalAdvance(caption));
    }

    void realMessageBoxReturnsTheClickedButton() {
        QtPrompter prompter;
        MessageBoxClicker clicker(QMessageBox::YesToAll);
        const Answer answer =
            prompter.message(nullptr, MessageRequest{"001122334455 exist,replace it?", "device",
                                                     MessageButtons::YesNoYesToAllNoToAll,
                                                     MessageIcon::Question, QString()});
        QCOMPARE(answer, Answer::YesToAll);
        QCOMPARE(clicker.seen().size(), 1);
        QCOMPARE(clicker.seen()[0].text, QString("001122334455 exist,replace it?"));
        QCOMPARE(clicker.seen()[0].title, QString("device"));
    }

    // Captioned with the product's name, not the program file's.
    void windowMessageWithoutCaptionIsTheProducts() {
        QtPrompter prompter;
        WindowWithRealMessages window(prompter);
        MessageBoxClicker clicker(QMessageBox::Ok);
        QCOMPARE(window.messageBox("Success !"), Answer::Ok);
        QCOMPARE(clicker.seen().size(), 1);
        QCOMPARE(clicker.seen()[0].title, QString("Velquor"));
        QCOMPARE(applicationTitle(), QString("Velquor"));
    }

    void scriptedPrompterAnswersInOrderThenMostCautiously() {
        ScriptedPrompter prompter;
        prompter.queueAnswer(Answer::Yes);
        prompter.queueFile("/a");
        prompter.queueFileCancel();
        const MessageRequest question{"q", "c", MessageButtons::YesNo, MessageIcon::None, {}};
        QCOMPARE(prompter.message(nullptr, question), Answer::Yes);
        QCOMPARE(prompter.message(nullptr, question), Answer::No);
        QCOMPARE(prompter.message(nullptr, {"m", "c", MessageButtons::Ok, {}, {}}), Answer::Ok);
        QCOMPARE(prompter.message(nullptr, {"m", "c", MessageButtons::YesNoCancel, {}, {}}),
                 Answer::Cancel);
        QCOMPARE(prompter.openFile(nullptr, "t", "f", {}), std::optional<QString>("/a"));
        QCOMPARE(prompter.saveFile(nullptr, "t", "f", {}), std::optional<QString>());
        QCOMPARE(prompter.existingDirectory(nullptr, "t", {}), std::optional<QString>());
        QCOMPARE(prompter.messages().size(), std::size_t(4));
        QCOMPARE(prompter.fileDialogs().size(), std::size_t(3));
    }
};

VELQUOR_ROOM_TEST(PrompterTest)
#include "prompter_test.moc"
