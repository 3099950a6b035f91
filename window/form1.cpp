// SPDX-License-Identifier: MIT
#include "form1.h"

#include "command/messagerule.h"
#include "motor/numberreader.h"
#include "shell/report.h"
#include "window/angledial.h"
#include "window/angletext.h"
#include "window/cursorblink.h"
#include "window/formlabel.h"
#include "window/twips.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLineEdit>
#include <QLocale>

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

std::u16string_view Utf16View(const QString& text)
{
    return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

} // namespace

Form1::Form1(CoilPort& port, std::unique_ptr<SteppingClock> clock, ListenerOptions listener,
             QWidget* parent)
    : QWidget(parent), drive_(port, std::move(clock)), winsock1_(std::move(listener))
{
    BuildControls();
    view_.setInterval(ViewRefreshMs);
    connect(&view_, &QTimer::timeout, this, &Form1::ShowDrivePosition);
    // Every change of the text, a message's or the operator's, is read once and handed over.
    connect(text1_, &QLineEdit::textChanged, this, &Form1::HandOverRequestedAngle);
    HandOverRequestedAngle();
    connect(&winsock1_, &CommandListener::ClientConnected, this,
            &Form1::Winsock1_ConnectionRequest);
    connect(&winsock1_, &CommandListener::MessageArrived, this, &Form1::Winsock1_DataArrival);
    // However the connection ended ("disconnect" or the client gone), the status says so.
    connect(&winsock1_, &CommandListener::ClientEnded, this, &Form1::Winsock1_ConnectionLost);
}

Form1::~Form1() = default;

void Form1::BuildControls()
{
    MapDavidFont();
    setWindowTitle("Form1");
    dpi_ = logicalDpiY();
    decimalSeparator_ = QLocale().decimalPoint().toStdString();
    auto place = [this](QWidget* control, double left, double top, double width, double height) {
        control->setGeometry(TwipsToPixels(left, dpi_), TwipsToPixels(top, dpi_),
                             TwipsToPixels(width, dpi_), TwipsToPixels(height, dpi_));
    };
    setFixedSize(TwipsToPixels(3450, dpi_), TwipsToPixels(4035, dpi_));

    auto makeLabel = [this, &place](const QString& text, double points, double left, double top,
                                    double width, double height) {
        auto* label = new FormLabel(text, this);
        label->setFont(LabelFont(points));
        place(label, left, top, width, height);
        return label;
    };

    // Created in tab order; Text1 is the only control that takes the focus.
    text1_ = new QLineEdit(QStringLiteral("360"), this);
    place(text1_, 960, 120, 495, 375);
    label1_ = makeLabel(QString::fromUtf8(":זוית במעלות"), 18, 1560, 120, 1815, 375);
    label2_ = makeLabel(QStringLiteral("0"), 15.75, 120, 3600, 855, 375);
    label3_ = makeLabel(QString::fromUtf8(":כיוון המנוע עכשיו"), 15.75, 960, 3600, 2415, 375);
    label4_ = makeLabel(QStringLiteral("Off line"), 12, 120, 120, 855, 375);

    shape1_ = new AngleDial(line1_, dpi_, this);
    place(shape1_, AngleDial::Left, AngleDial::Top, AngleDial::Width, AngleDial::Height);
    shape1_->lower();
    setFocusProxy(text1_);
    text1_->setFocus();
    blinkTimeout_ = new CursorBlinkTimeout(text1_, this);
}

bool Form1::Form_Load()
{
    if (!OpenCommandListener())
        return false;
    drive_.DeenergiseCoils();
    drive_.InitStepping();
    DisableSteppingTimer();
    return true;
}

void Form1::ShutDown()
{
    view_.stop();
    drive_.ShutDown();
}

bool Form1::OpenCommandListener()
{
    return winsock1_.Listen();
}

QString Form1::ListenError() const
{
    QString reason = winsock1_.ErrorString();
    if (winsock1_.Error() == QAbstractSocket::AddressInUseError)
        reason += QStringLiteral(" (another program holds it; stop that program, or check with: "
                                 "ss -ltnp 'sport = :%1')")
                      .arg(winsock1_.LocalPort());
    else if (winsock1_.Error() == QAbstractSocket::SocketAccessError)
        reason += QStringLiteral(" (not permitted here; run without restrictions on ports)");
    return reason;
}

void Form1::HandOverRequestedAngle()
{
    drive_.SetRequestedAngle(ReadAngleNumber(Utf16View(text1_->text())));
}

void Form1::EnableSteppingTimer()
{
    drive_.StartMoving();
    if (!view_.isActive())
        view_.start();
}

void Form1::ShowDrivePosition()
{
    // Moving is read first: once it reads false, the position read after it is the last.
    const bool moving = drive_.IsMoving();
    const double angle = drive_.CurrentAngle();
    ShowNeedleAngle(angle);
    ShowCurrentAngle(angle);
    if (const std::string failure = drive_.TakePortFailure(); !failure.empty())
        Report(failure);
    if (!moving)
        view_.stop();
}

void Form1::ShowNeedleAngle(double degrees)
{
    line1_.ShowNeedleAngle(degrees);
    shape1_->update();
}

void Form1::ShowCurrentAngle(double degrees)
{
    label2_->setText(QString::fromStdString(FormatAngleText(degrees, decimalSeparator_)));
}

void Form1::Winsock1_ConnectionRequest()
{
    label4_->setText(QStringLiteral("On Line"));
}

void Form1::Winsock1_DataArrival(const QByteArray& received)
{
    const std::string_view text(received.constData(), static_cast<std::size_t>(received.size()));
    if (IsDisconnectCommand(text)) {
        winsock1_.EndConnection(); // its ClientEnded sets the status
        return;
    }
    // Text1's textChanged hands the number to the drive, once per change.
    const std::u16string angleText = AngleTextFromBytes(text);
    text1_->setText(QString(reinterpret_cast<const QChar*>(angleText.data()),
                            static_cast<qsizetype>(angleText.size())));
    EnableSteppingTimer();
}

void Form1::Winsock1_ConnectionLost()
{
    label4_->setText(QStringLiteral("Off line"));
}
