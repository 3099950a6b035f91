// SPDX-License-Identifier: MIT
#include "form1.h"

#include "core/angletext.h"
#include "core/dialcore.h"
#include "core/messagerule.h"
#include "core/statefeed.h"
#include "window/angledial.h"
#include "window/cursorblink.h"
#include "window/formlabel.h"
#include "window/twips.h"

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QInputDialog>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>

namespace {

const char* const LabelFamily = "David";

// Where no David is installed, the Culmus "David CLM" (or any Hebrew face) stands in.
void MapDavidFont()
{
    static bool mapped = false;
    if (mapped)
        return;
    mapped = true;
    if (QFontDatabase::hasFamily(LabelFamily))
        return;
    if (QFontDatabase::hasFamily("David CLM")) {
        QFont::insertSubstitution(LabelFamily, "David CLM");
        return;
    }
    const QStringList hebrew = QFontDatabase::families(QFontDatabase::Hebrew);
    if (!hebrew.isEmpty())
        QFont::insertSubstitution(LabelFamily, hebrew.first());
}

QFont LabelFont(double points)
{
    QFont font(LabelFamily);
    font.setPointSizeF(points);
    font.setBold(true);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

} // namespace

Form1::Form1(DialCore& core, QWidget* parent) : QWidget(parent), core_(core)
{
    BuildControls();
    shown_.step = -1; // all of the first state is news
    Show(core_.State());
    // Every change of the text, the operator's or a message's, goes to the core, which reads
    // it once; a change the core makes comes back here and is then no change.
    connect(text1_, &QLineEdit::textChanged, &core_,
            [this](const QString& text) { core_.Command(text, false); });
    connect(new StateFeed(core_, DialCore::DisplayRefreshMs, this), &StateFeed::Changed, this,
            &Form1::Show);
}

Form1::~Form1() = default;

void Form1::BuildControls()
{
    MapDavidFont();
    setWindowTitle("Form1");
    setObjectName("Form1");
    dpi_ = logicalDpiY();
    decimalSeparator_ = QLocale().decimalPoint().toStdString();
    auto place = [this](QWidget* control, const char* name, double left, double top, double width,
                        double height) {
        control->setObjectName(name);
        control->setGeometry(TwipsToPixels(left, dpi_), TwipsToPixels(top, dpi_),
                             TwipsToPixels(width, dpi_), TwipsToPixels(height, dpi_));
    };
    setFixedSize(TwipsToPixels(3450, dpi_), TwipsToPixels(4035, dpi_));

    auto makeLabel = [this, &place](const char* name, const QString& text, double points,
                                    double left, double top, double width, double height) {
        auto* label = new FormLabel(text, this);
        label->setFont(LabelFont(points));
        place(label, name, left, top, width, height);
        return label;
    };

    // Created in tab order; Text1 is the only control that takes the focus.
    text1_ = new QLineEdit(this);
    text1_->setMaxLength(int(MaxAngleTextLength));
    place(text1_, "Text1", 960, 120, 495, 375);
    makeLabel("Label1", QString::fromUtf8(":זוית במעלות"), 18, 1560, 120, 1815, 375);
    label2_ = makeLabel("Label2", QStringLiteral("0"), 15.75, 120, 3600, 855, 375);
    makeLabel("Label3", QString::fromUtf8(":כיוון המנוע עכשיו"), 15.75, 960, 3600, 2415, 375);
    label4_ = makeLabel("Label4", DialState().Status(), 12, 120, 120, 855, 375);

    shape1_ = new AngleDial(line1_, dpi_, this);
    place(shape1_, "Shape1", AngleDial::Left, AngleDial::Top, AngleDial::Width, AngleDial::Height);
    shape1_->lower();
    // Setting the position from the dial's menu or the keyboard: F2 names the needle's place,
    // as it renames elsewhere; Shift+F2 calls it zero.
    auto addAction = [this](const char* name, const QString& text, QKeySequence keys) {
        auto* action = new QAction(text, shape1_);
        action->setObjectName(name);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        shape1_->addAction(action);
        return action;
    };
    connect(addAction("SetPosition", "Set the current angle...", QKeySequence(Qt::Key_F2)),
            &QAction::triggered, this, &Form1::AskPosition);
    connect(
        addAction("ZeroPosition", "The needle is at zero", QKeySequence(Qt::SHIFT | Qt::Key_F2)),
        &QAction::triggered, this, [this] { core_.SetCurrentAngle(0.0); });
    if (core_.CanHome()) {
        homeNow_ = addAction("HomeNow", "Home now", QKeySequence());
        connect(homeNow_, &QAction::triggered, this, [this] { core_.Home(); });
    }
    shape1_->setContextMenuPolicy(Qt::ActionsContextMenu);
    setFocusProxy(text1_);
    text1_->setFocus();
    new CursorBlinkTimeout(text1_, this);
}

void Form1::Show(const DialState& state)
{
    label4_->setText(state.Status());
    if (text1_->text() != state.requestedText)
        text1_->setText(state.requestedText);
    if (state.step != shown_.step) {
        line1_.ShowNeedleAngle(state.angle);
        shape1_->update();
    }
    label2_->setText(state.AngleText(decimalSeparator_));
    if (state.homing != shown_.homing) {
        setWindowTitle(state.homing ? "Form1 (homing)" : "Form1");
        if (homeNow_)
            homeNow_->setEnabled(!state.homing);
    }
    shown_ = state;
}

void Form1::AskPosition()
{
    bool given = false;
    const DialState state = core_.State();
    const QString text = QInputDialog::getText(
        this, "Set the current angle",
        QString::fromStdString("The needle really stands at (degrees)" +
                               (state.uncertain ? ", it may be " + state.doubt : std::string()) +
                               ":"),
        QLineEdit::Normal, QString::fromStdString(FormatAngleText(state.angle, ".")), &given);
    if (given && !core_.SetCurrentAngle(DialCore::ReadRequestedAngle(text)))
        QMessageBox::warning(this, "Set the current angle",
                             "No motor reaches " + text + " degrees; the position is unchanged.");
}
