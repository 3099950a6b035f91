// SPDX-License-Identifier: MIT
#include "form1.h"

#include "core/angletext.h"
#include "core/dialcore.h"
#include "core/messagerule.h"
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
    ShowStatus(core_.IsOnLine());
    ShowRequestedText(core_.RequestedText());
    ShowNeedleAngle(core_.CurrentAngle());
    ShowCurrentAngle(core_.CurrentAngle());
    // Every change of the text, the operator's or a message's, goes to the core, which reads
    // it once; a change the core makes comes back here and is then no change.
    connect(text1_, &QLineEdit::textChanged, &core_, &DialCore::EditRequestedText);
    connect(&core_, &DialCore::RequestedTextChanged, this, &Form1::ShowRequestedText);
    connect(&core_, &DialCore::OnLineChanged, this, &Form1::ShowStatus);
    connect(&core_, &DialCore::PositionChanged, this, [this](double degrees) {
        ShowNeedleAngle(degrees);
        ShowCurrentAngle(degrees);
    });
    connect(&core_, &DialCore::PositionUncertainChanged, this,
            [this] { ShowCurrentAngle(core_.CurrentAngle()); });
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
    label4_ = makeLabel("Label4", DialCore::StatusText(false), 12, 120, 120, 855, 375);

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
        &QAction::triggered, this, [this] { core_.SetPosition(0.0); });
    shape1_->setContextMenuPolicy(Qt::ActionsContextMenu);
    setFocusProxy(text1_);
    text1_->setFocus();
    new CursorBlinkTimeout(text1_, this);
}

void Form1::ShowStatus(bool onLine)
{
    label4_->setText(DialCore::StatusText(onLine));
}

void Form1::ShowRequestedText(const QString& text)
{
    if (text1_->text() != text)
        text1_->setText(text);
}

void Form1::ShowNeedleAngle(double degrees)
{
    line1_.ShowNeedleAngle(degrees);
    shape1_->update();
}

void Form1::ShowCurrentAngle(double degrees)
{
    // A count the rotor may not follow is marked until the operator sets the position.
    label2_->setText(QString::fromStdString(FormatAngleText(degrees, decimalSeparator_)) +
                     (core_.PositionUncertain() ? QStringLiteral(" ?") : QString()));
}

void Form1::AskPosition()
{
    bool given = false;
    const QString text = QInputDialog::getText(
        this, "Set the current angle",
        QString::fromStdString(
            "The needle really stands at (degrees)" +
            (core_.PositionUncertain() ? ", it may be " + core_.PositionDoubt() : std::string()) +
            ":"),
        QLineEdit::Normal, QString::fromStdString(FormatAngleText(core_.CurrentAngle(), ".")),
        &given);
    if (given && !core_.SetPosition(DialCore::ReadRequestedAngle(text)))
        QMessageBox::warning(this, "Set the current angle",
                             "No motor reaches " + text + " degrees; the position is unchanged.");
}
