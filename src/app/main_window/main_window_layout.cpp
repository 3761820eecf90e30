// CVelquorDlg's controls: the three groups laid out in the window's original proportions, the
// menu bar, and the tab order.
#include <QCheckBox>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/kit/window/screen_fit.h"
#include "app/main_window/velquor_dlg.h"

namespace velquor::app {
namespace {

// The tab order of the window, which is also the order of its focusable controls.
constexpr int kTabOrder[] = {
    kInputFileEdit,   kBrowseInputButton,    kAesKeyEdit,     kEncryptButton,
    kTemplateEdit,    kBrowseTemplateButton, kMacAccountEdit, kBrowseMacAccountButton,
    kGenerateKeyEdit, kGenerateButton,       kOutputDirEdit,  kBrowseOutputDirButton,
    kAesKeyCheckBox,  kDecryptButton,        kMd5FileEdit,    kBrowseMd5FileButton,
    kMd5DigestEdit,   kGenerateMd5Button,    kCopyButton,
};

// Sizes below are the window's original proportions, in dialog units: a quarter of the
// average character width across, an eighth of the line height down. The line height is the
// one a Latin font of this size has: a CJK font's much taller line (a Chinese desktop's
// default) would otherwise make every button a quarter taller and the window taller than a
// laptop's screen, with no more text in it.
struct DialogUnits {
    explicit DialogUnits(const QFont& font) : metrics(font), lineHeight(metrics.height()) {
        // The common sans fonts' line is 1.6 times their capital letters' height; a CJK
        // font's is 1.75 to 2 times.
        constexpr double kLatinLinePerCapHeight = 1.6;
        const double latinLine = QFontMetricsF(font).capHeight() * kLatinLinePerCapHeight;
        if (lineHeight > latinLine * 1.05) lineHeight = static_cast<int>(std::lround(latinLine));
    }
    // A quarter of the Latin letters' average width: a CJK font's averageCharWidth counts its
    // full-width glyphs (a Chinese desktop's font), which would make every field half as wide
    // again with no more text in it.
    int x(int units) const {
        static const QString kLetters =
            QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
        const int letterWidth = (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2;
        return units * letterWidth / 4;
    }
    int y(int units) const { return units * lineHeight / 8; }
    // The space between rows: a CJK font's fields are taller by its extra line already.
    int rowGap() const { return std::max(1, y(3) - (metrics.height() - lineHeight) / 2); }
    QFontMetrics metrics;
    int lineHeight;
};

// A field the user cannot type into must not look like one that takes typing.
void makeReadOnly(QLineEdit* field) {
    field->setReadOnly(true);
    QPalette look = field->palette();
    look.setColor(QPalette::Base, look.color(QPalette::Window));
    field->setPalette(look);
}

}  // namespace

QLineEdit* CVelquorDlg::addField(int id) {
    auto* field = registerControl(id, new QLineEdit(this));
    field->setMinimumWidth(DialogUnits(font()).x(180));
    return field;
}

QPushButton* CVelquorDlg::addSizedButton(int id, const QString& text, int widthUnits,
                                         int heightUnits) {
    QPushButton* button = addCommandButton(id, text);
    const DialogUnits du(font());
    button->setMinimumSize(du.x(widthUnits), du.y(heightUnits));
    return button;
}

QLabel* CVelquorDlg::addLabel(int id, const QString& text) {
    auto* label = new QLabel(text, this);
    if (id != 0) registerControl(id, label);
    label->setMinimumWidth(DialogUnits(font()).x(54));
    return label;
}

QGridLayout* CVelquorDlg::addGroup(QGroupBox* group) {
    auto* grid = new QGridLayout(group);
    // Rows closer than the original's, so the three groups fit a 1366x768 laptop at 125 %
    // without scrolling (and scroll less at 200 % on a full-HD screen).
    grid->setVerticalSpacing(DialogUnits(font()).rowGap());
    grid->setColumnStretch(1, 1);
    m_groupsLayout->addWidget(group);
    return grid;
}

// The command buttons of a group sit on its last row, at the right (an optional one at the left).
static void addCommandRow(QGridLayout* grid, QWidget* right, QWidget* left = nullptr) {
    auto* row = new QHBoxLayout;
    if (left) row->addWidget(left);
    row->addStretch(1);
    row->addWidget(right);
    grid->addLayout(row, grid->rowCount(), 0, 1, 3);
}

QGridLayout* CVelquorDlg::buildEncryptGroup() {
    QGridLayout* grid = addGroup(new QGroupBox(tr("Encrypt Configuration"), this));
    grid->addWidget(addLabel(0, tr("Input File :")), 0, 0);
    QLineEdit* inputField = addField(kInputFileEdit);
    // What the field shows is always the file Encrypt and Decrypt will read.
    makeReadOnly(inputField);
    grid->addWidget(inputField, 0, 1);
    grid->addWidget(addSizedButton(kBrowseInputButton, tr("Browse"), 68, 17), 0, 2);
    grid->addWidget(addLabel(kAesKeyLabel, tr("AES Key:")), 1, 0);
    grid->addWidget(addField(kAesKeyEdit), 1, 1);
    QPushButton* decrypt = addSizedButton(kDecryptButton, tr("Decrypt"), 64, 23);
    addCommandRow(grid, addSizedButton(kEncryptButton, tr("Encrypt"), 64, 23), decrypt);
    return grid;
}

QGridLayout* CVelquorDlg::buildMacGroup() {
    QGridLayout* grid = addGroup(new QGroupBox(tr("MAC-CFG"), this));
    grid->addWidget(addLabel(kTemplateLabel, tr("Template:")), 0, 0);
    grid->addWidget(addField(kTemplateEdit), 0, 1);
    grid->addWidget(addSizedButton(kBrowseTemplateButton, tr("Browse"), 68, 17), 0, 2);
    grid->addWidget(addLabel(kMacAccountLabel, tr("MAC-ACCOUNT:")), 1, 0);
    grid->addWidget(addField(kMacAccountEdit), 1, 1);
    grid->addWidget(addSizedButton(kBrowseMacAccountButton, tr("Browse"), 68, 17), 1, 2);
    grid->addWidget(registerControl(kAesKeyCheckBox, new QCheckBox(tr("AES Key"), this)), 2, 0);
    grid->addWidget(addField(kGenerateKeyEdit), 2, 1);
    grid->addWidget(addLabel(0, tr("Out put path:")), 3, 0);
    grid->addWidget(addField(kOutputDirEdit), 3, 1);
    grid->addWidget(addSizedButton(kBrowseOutputDirButton, tr("Browse"), 68, 17), 3, 2);
    addCommandRow(grid, addSizedButton(kGenerateButton, tr("Generate"), 96, 31));
    return grid;
}

QGridLayout* CVelquorDlg::buildMd5Group() {
    QGridLayout* grid = addGroup(registerControl(kMd5Group, new QGroupBox(tr("MD5"), this)));
    grid->addWidget(addLabel(kMd5FileLabel, tr("File:")), 0, 0);
    grid->addWidget(addField(kMd5FileEdit), 0, 1);
    grid->addWidget(addSizedButton(kBrowseMd5FileButton, tr("Browse"), 68, 17), 0, 2);
    grid->addWidget(addLabel(kMd5DigestLabel, tr("MD5:")), 1, 0);
    QLineEdit* digestField = addField(kMd5DigestEdit);
    makeReadOnly(digestField);
    grid->addWidget(digestField, 1, 1);
    QPushButton* copy = addSizedButton(kCopyButton, tr("Copy"), 64, 17);
    copy->hide();
    grid->addWidget(copy, 1, 2);
    addCommandRow(grid, addSizedButton(kGenerateMd5Button, tr("Generate MD5"), 98, 23));
    return grid;
}

// One label column across the groups, so the fields line up as in one form.
static void alignLabelColumns(std::initializer_list<QGridLayout*> grids) {
    int labelWidth = 0;
    for (QGridLayout* grid : grids) {
        for (int row = 0; row < grid->rowCount(); ++row) {
            QLayoutItem* item = grid->itemAtPosition(row, 0);
            if (item && item->widget()) {
                labelWidth = std::max(labelWidth, item->widget()->sizeHint().width());
            }
        }
    }
    for (QGridLayout* grid : grids) grid->setColumnMinimumWidth(0, labelWidth);
}

void CVelquorDlg::buildControls() {
    auto* windowLayout = new QVBoxLayout(this);
    auto* menuBar = new QMenuBar(this);
    // The menu commands' Alt keys are chosen here, in every language; the controls' follow.
    registerMenuCommand(kKestoMenuCommand, menuBar->addAction(tr("&KESTO")));
    registerMenuCommand(kSettingsMenuCommand, menuBar->addAction(tr("&Settings")));
    registerMenuCommand(kForgetHistoryMenuCommand, menuBar->addAction(tr("Forget &history")));
    registerMenuCommand(kSiteTableMenuCommand, menuBar->addAction(tr("Site &table")));
    registerMenuCommand(kServeMenuCommand, menuBar->addAction(tr("Serve to &phones")));
    windowLayout->setMenuBar(menuBar);
    // The groups scroll when the screen is shorter than the window (a laptop at 125 %).
    m_groupsLayout = new QVBoxLayout;
    alignLabelColumns({buildEncryptGroup(), buildMacGroup(), buildMd5Group()});
    m_groupsLayout->addStretch(1);
    windowLayout->addWidget(new FittingScrollArea(m_groupsLayout, this));
}

// The original's width; the height its groups take with the fonts in effect when it is shown
// (a CJK fallback font's taller lines are known only then), which fitToScreen bounds by the
// screen.
QSize CVelquorDlg::sizeHint() const {
    return QSize(std::max(DialogUnits(font()).x(400), ControlWindow::sizeHint().width()),
                 ControlWindow::sizeHint().height());
}

void CVelquorDlg::buildTabOrder() {
    for (std::size_t i = 1; i < std::size(kTabOrder); ++i) {
        setTabOrder(control(kTabOrder[i - 1]), control(kTabOrder[i]));
    }
}

}  // namespace velquor::app
