// The real Qt dialogs behind the Prompter interface, and the filter translation.
#include "app/kit/prompts/prompter.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSpacerItem>
#include <QStringList>
#include <algorithm>
#include <utility>
#include <vector>

namespace velquor::app {
namespace {

QMessageBox::StandardButtons standardButtonsFor(MessageButtons buttons) {
    switch (buttons) {
        case MessageButtons::Ok:
            return QMessageBox::Ok;
        case MessageButtons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MessageButtons::YesNo:
        case MessageButtons::YesNoDefaultNo:
            return QMessageBox::Yes | QMessageBox::No;
        case MessageButtons::YesNoCancel:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case MessageButtons::YesNoYesToAllNoToAll:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::YesToAll |
                   QMessageBox::NoToAll;
        case MessageButtons::RetryStop:
            return QMessageBox::Retry | QMessageBox::Abort;
        case MessageButtons::ContinueCancel:
        case MessageButtons::ShowRowsContinueCancel:
        case MessageButtons::RemoveKeepCancel:
        case MessageButtons::ServeEncryptedOrPlain:
            break;  // buttons of our own: askWithOwnButtons, askEncryptedOrPlain
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon qtIconFor(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None:
            return QMessageBox::NoIcon;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Critical:
            return QMessageBox::Critical;
        case MessageIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// Closing a box through its title bar or Escape counts as its most cautious answer.
Answer answerFor(int clicked, MessageButtons buttons) {
    switch (clicked) {
        case QMessageBox::Ok:
            return Answer::Ok;
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        case QMessageBox::YesToAll:
            return Answer::YesToAll;
        case QMessageBox::NoToAll:
            return Answer::NoToAll;
        case QMessageBox::Cancel:
            return Answer::Cancel;
        case QMessageBox::Retry:
            return Answer::Retry;
        case QMessageBox::Abort:
            return Answer::Stop;
        default:
            break;
    }
    if (buttons == MessageButtons::Ok) return Answer::Ok;
    if (buttons == MessageButtons::RetryStop) return Answer::Stop;
    if (buttons == MessageButtons::YesNo || buttons == MessageButtons::YesNoDefaultNo ||
        buttons == MessageButtons::YesNoYesToAllNoToAll) {
        return Answer::No;
    }
    return Answer::Cancel;
}

// A window manager hands the keyboard focus to whichever window it likes once a modal box
// closes, often none: Return and Escape would do nothing until a click. The window that asked
// takes it back.
void giveFocusBack(QWidget* owner) {
    if (owner == nullptr) return;
    QWidget* window = owner->window();
    if (window->isVisible()) window->activateWindow();
}

std::optional<QString> chosenOrNothing(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    return path;
}

QString qtPatternList(const QString& pairedPatterns) {
    QStringList globs;
    for (const QString& glob : pairedPatterns.split(';', Qt::SkipEmptyParts)) {
        const QString trimmed = glob.trimmed();
        globs << (trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
    }
    return globs.join(' ');
}

// Room the title bar takes beside its caption (icon, buttons), and the box beside its text
// (icon column, margins), in pixels.
constexpr int kTitleBarExtra = 140;
constexpr int kTextColumnExtra = 180;

// U+2060 WORD JOINER: no line may break beside it. It has no width and no glyph.
constexpr QChar kWordJoiner(0x2060);

// Qt breaks a line after a '/' or a '-', so a path the box has room for would still start on
// the line of the words before it and go on below, read as two. Each run of a path or an
// address that fits in width is joined throughout so that it moves down whole instead.
QString keepPathsWhole(const QString& text, const QFontMetrics& metrics, int width) {
    static const QRegularExpression kRun(QStringLiteral("\\S+"));
    QString joined;
    qsizetype copied = 0;
    for (const QRegularExpressionMatch& match : kRun.globalMatch(text)) {
        const QString run = match.captured();
        joined += text.mid(copied, match.capturedStart() - copied);
        copied = match.capturedEnd();
        const bool pathLike = run.contains(QLatin1Char('/')) || run.contains(QLatin1Char(':'));
        if (!pathLike || metrics.horizontalAdvance(run) > width) {
            joined += run;
            continue;
        }
        for (qsizetype i = 0; i < run.size(); ++i) {
            joined += run[i];
            const bool inPair = run[i].isHighSurrogate();
            if (i + 1 < run.size() && !inPair) joined += kWordJoiner;
        }
    }
    return joined + text.mid(copied);
}

// What the operator copies from a box (Ctrl+C, or a selection) is the text as written,
// without the joiners that keep its paths whole on screen.
void keepJoinersOffTheClipboard(QMessageBox& box) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) return;
    QObject::connect(clipboard, &QClipboard::dataChanged, &box, [clipboard] {
        const QString copied = clipboard->text();
        if (copied.contains(kWordJoiner)) clipboard->setText(QString(copied).remove(kWordJoiner));
    });
}

// A box wide enough for its caption in the title bar and for the longest unbroken run of its
// text and detail (a path, an address), up to the widest box Qt makes on the screen, with its
// paths kept whole: the box would otherwise cut the caption and break a path in its middle.
void fitCaptionAndPaths(QMessageBox& box, const MessageRequest& request) {
    QFont titleFont = box.font();
    titleFont.setBold(true);
    int wanted = QFontMetrics(titleFont).horizontalAdvance(request.caption) + kTitleBarExtra;
    const QFontMetrics metrics(box.font());
    static const QRegularExpression kSpaces(QStringLiteral("\\s+"));
    const QString texts = request.text + QLatin1Char(' ') + request.details;
    for (const QString& run : texts.split(kSpaces, Qt::SkipEmptyParts)) {
        wanted = std::max(wanted, metrics.horizontalAdvance(run) + kTextColumnExtra);
    }
    const QScreen* screen = box.parentWidget() != nullptr ? box.parentWidget()->screen()
                                                          : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        // Qt's own limit for a box: past it, the box breaks its text anywhere, even inside a
        // word (a path) that a narrower box breaks at a word's end.
        const int screenWidth = screen->availableGeometry().width();
        wanted =
            std::min(wanted, screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000));
    }
    box.setText(keepPathsWhole(request.text, metrics, wanted - kTextColumnExtra));
    if (!request.details.isEmpty()) {
        box.setInformativeText(keepPathsWhole(request.details, metrics, wanted - kTextColumnExtra));
    }
    keepJoinersOffTheClipboard(box);
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr) return;
    grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

// The boxes whose buttons are words of our own rather than the standard ones.
Answer askWithOwnButtons(QWidget* owner, const MessageRequest& request) {
    QMessageBox box(qtIconFor(request.icon), request.caption, request.text, QMessageBox::NoButton,
                    owner);
    fitCaptionAndPaths(box, request);
    QPushButton* showRows = nullptr;
    if (request.buttons == MessageButtons::ShowRowsContinueCancel) {
        showRows = box.addButton(QCoreApplication::translate("Prompter", "Show rows"),
                                 QMessageBox::ActionRole);
    }
    const bool removeKeep = request.buttons == MessageButtons::RemoveKeepCancel;
    QPushButton* keep = removeKeep ? box.addButton(QCoreApplication::translate("Prompter", "Keep"),
                                                   QMessageBox::RejectRole)
                                   : nullptr;
    QPushButton* proceed =
        box.addButton(removeKeep ? QCoreApplication::translate("Prompter", "Remove")
                                 : QCoreApplication::translate("Prompter", "Continue"),
                      removeKeep ? QMessageBox::DestructiveRole : QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    // Enter takes the answer that does nothing yet: Show rows or Keep, or Cancel where Continue
    // would send or write something the warning calls useless.
    box.setDefaultButton(showRows != nullptr ? showRows : removeKeep ? keep : cancel);
    box.setEscapeButton(cancel);
    box.exec();
    giveFocusBack(owner);
    if (box.clickedButton() == showRows && showRows != nullptr) return Answer::ShowRows;
    if (box.clickedButton() == keep && keep != nullptr) return Answer::Keep;
    if (box.clickedButton() == proceed) return removeKeep ? Answer::Remove : Answer::Continue;
    return Answer::Cancel;
}

// Serve en/ / Serve the plain files / Cancel: Enter takes the encrypted copies, the answer
// that sends no password in the clear.
Answer askEncryptedOrPlain(QWidget* owner, const MessageRequest& request) {
    QMessageBox box(qtIconFor(request.icon), request.caption, request.text, QMessageBox::NoButton,
                    owner);
    fitCaptionAndPaths(box, request);
    QPushButton* encrypted = box.addButton(QCoreApplication::translate("Prompter", "Serve en/"),
                                           QMessageBox::AcceptRole);
    QPushButton* plain = box.addButton(
        QCoreApplication::translate("Prompter", "Serve the plain files"), QMessageBox::ActionRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(encrypted);
    box.setEscapeButton(cancel);
    box.exec();
    giveFocusBack(owner);
    if (box.clickedButton() == encrypted) return Answer::ServeEncrypted;
    if (box.clickedButton() == plain) return Answer::ServePlain;
    return Answer::Cancel;
}

}  // namespace

Answer QtPrompter::message(QWidget* owner, const MessageRequest& request) {
    if (request.buttons == MessageButtons::ServeEncryptedOrPlain)
        return askEncryptedOrPlain(owner, request);
    if (request.buttons == MessageButtons::ContinueCancel ||
        request.buttons == MessageButtons::ShowRowsContinueCancel ||
        request.buttons == MessageButtons::RemoveKeepCancel) {
        return askWithOwnButtons(owner, request);
    }
    QMessageBox box(qtIconFor(request.icon), request.caption, request.text,
                    standardButtonsFor(request.buttons), owner);
    fitCaptionAndPaths(box, request);
    if (request.buttons == MessageButtons::YesNoDefaultNo) {
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
    }
    if (request.buttons == MessageButtons::RetryStop) {
        box.button(QMessageBox::Abort)
            ->setText(QCoreApplication::translate("velquor::app::QtPrompter", "Stop"));
        box.setEscapeButton(QMessageBox::Abort);
    }
    const Answer answer = answerFor(box.exec(), request.buttons);
    giveFocusBack(owner);
    return answer;
}

std::optional<QString> QtPrompter::openFile(QWidget* owner, const QString& title,
                                            const QString& filter, const QString& folder) {
    const QString path =
        QFileDialog::getOpenFileName(owner, title, folder, filter, nullptr, QFileDialog::ReadOnly);
    giveFocusBack(owner);
    return chosenOrNothing(path);
}

std::optional<QString> QtPrompter::saveFile(QWidget* owner, const QString& title,
                                            const QString& filter, const QString& folder,
                                            QString* chosenFilter) {
    // Qt asks before replacing an existing file unless told not to; no suffix is added.
    const QString path = QFileDialog::getSaveFileName(owner, title, folder, filter, chosenFilter);
    giveFocusBack(owner);
    return chosenOrNothing(path);
}

std::optional<QString> QtPrompter::existingDirectory(QWidget* owner, const QString& title,
                                                     const QString& folder) {
    const QString path = QFileDialog::getExistingDirectory(owner, title, folder);
    giveFocusBack(owner);
    return chosenOrNothing(path);
}

QString qtFileFilter(std::string_view pairedFilter) {
    const QStringList parts =
        QString::fromUtf8(pairedFilter.data(), static_cast<qsizetype>(pairedFilter.size()))
            .split('|');
    QStringList filters;
    // The text ends with '|', so the last part is empty and pairs are (i, i + 1).
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        filters << parts[i] + QStringLiteral(" (") + qtPatternList(parts[i + 1]) + ')';
    }
    return filters.join(QStringLiteral(";;"));
}

std::optional<QString> QtPrompter::password(QWidget* owner, const QString& caption,
                                            const QString& text) {
    bool accepted = false;
    const QString typed =
        QInputDialog::getText(owner, caption, text, QLineEdit::Password, QString(), &accepted);
    giveFocusBack(owner);
    if (!accepted) return std::nullopt;
    return typed;
}

}  // namespace velquor::app
