#include "form1.h"

#include "command/messagerule.h"
#include "motor/numberreader.h"
#include "window/angledial.h"
#include "window/angletext.h"
#include "window/formlabel.h"
#include "window/framepacer.h"
#include "window/twips.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QLineEdit>
#include <QLocale>
#include <QTcpSocket>
#include <cstdio>

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

Form1::Form1(CoilPort& port, std::unique_ptr<SteppingClock> clock, quint16 listenPort,
             QWidget* parent)
    : QWidget(parent), coils_(port), Timer1(std::move(clock)), listenPort_(listenPort)
{
    BuildControls();
    connect(Timer1.get(), &SteppingClock::Tick, this, &Form1::Timer1_Timer);
    connect(&winsock1_, &CommandListener::ConnectionRequest, this,
            &Form1::Winsock1_ConnectionRequest);
    connect(&winsock1_, &CommandListener::DataArrival, this, &Form1::Winsock1_DataArrival);
    connect(&winsock1_, &CommandListener::ConnectionLost, this, &Form1::Winsock1_ConnectionLost);
}

Form1::~Form1() = default;

void Form1::BuildControls()
{
    MapDavidFont();
    pacer_ = new FramePacer(this);
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
        auto* label = new FormLabel(text, *pacer_, this);
        label->setFont(LabelFont(points));
        place(label, left, top, width, height);
        return label;
    };

    // Created in tab order; Text1 is the only control that takes the focus.
    Text1 = new QLineEdit(QStringLiteral("360"), this);
    place(Text1, 960, 120, 495, 375);
    Label1 = makeLabel(QString::fromUtf8(":זוית במעלות"), 18, 1560, 120, 1815, 375);
    Label2 = makeLabel(QStringLiteral("0"), 15.75, 120, 3600, 855, 375);
    Label3 = makeLabel(QString::fromUtf8(":כיוון המנוע עכשיו"), 15.75, 960, 3600, 2415, 375);
    Label4 = makeLabel(QStringLiteral("Off line"), 12, 120, 120, 855, 375);

    Shape1 = new AngleDial(line1_, dpi_, this);
    place(Shape1, AngleDial::Left, AngleDial::Top, AngleDial::Width, AngleDial::Height);
    Shape1->lower();
    setFocusProxy(Text1);
    Text1->setFocus();

    cursorFlashTime_ = QApplication::cursorFlashTime();
    blinkTimeout_ = new QTimer(this);
    blinkTimeout_->setSingleShot(true);
    blinkTimeout_->setInterval(10000);
    connect(blinkTimeout_, &QTimer::timeout, this, [] { QApplication::setCursorFlashTime(0); });
    blinkTimeout_->start();
    Text1->installEventFilter(this);
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Text1 &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::FocusIn ||
         event->type() == QEvent::MouseButtonPress)) {
        if (QApplication::cursorFlashTime() != cursorFlashTime_)
            QApplication::setCursorFlashTime(cursorFlashTime_);
        blinkTimeout_->start();
    }
    return QWidget::eventFilter(watched, event);
}

bool Form1::Form_Load()
{
    if (!OpenCommandListener())
        return false;
    coils_.DeenergiseCoils();
    stepping_.InitStepping();
    DisableSteppingTimer();
    return true;
}

void Form1::ShutDown()
{
    DisableSteppingTimer();
    coils_.DeenergiseCoils();
}

bool Form1::OpenCommandListener()
{
    winsock1_.SetLocalPort(listenPort_);
    return winsock1_.Listen();
}

QString Form1::ListenError() const
{
    QString reason = winsock1_.ErrorString();
    if (winsock1_.Error() == QAbstractSocket::AddressInUseError)
        reason += QStringLiteral(" (another program holds it; stop that program, or check with: "
                                 "ss -ltnp 'sport = :%1')")
                      .arg(listenPort_);
    else if (winsock1_.Error() == QAbstractSocket::SocketAccessError)
        reason += QStringLiteral(" (not permitted here; run without restrictions on ports)");
    return reason;
}

void Form1::Timer1_Timer()
{
    stepping_.MoveTowardRequested(ReadAngleNumber(Utf16View(Text1->text())));
    coils_.WriteCoilPattern(stepping_.Phase());
    const double angle = stepping_.CurrentAngle();
    ShowNeedleAngle(angle);
    ShowCurrentAngle(angle);
    if (stepping_.TargetReached())
        DisableSteppingTimer();
}

void Form1::ShowNeedleAngle(double degrees)
{
    line1_.ShowNeedleAngle(degrees);
    pacer_->RequestRepaint(Shape1);
}

void Form1::ShowCurrentAngle(double degrees)
{
    Label2->setText(QString::fromStdString(FormatAngleText(degrees, decimalSeparator_)));
}

void Form1::Winsock1_ConnectionRequest(int requestId)
{
    winsock1_.Close();
    winsock1_.Accept(requestId);
    Label4->setText(QStringLiteral("On Line"));
}

void Form1::Winsock1_DataArrival(int bytesTotal)
{
    (void)bytesTotal;
    receivedText_ = winsock1_.GetData();
    const std::string_view received(receivedText_.constData(),
                                    static_cast<std::size_t>(receivedText_.size()));
    if (IsDisconnectCommand(received)) {
        winsock1_.Close();
        ListenAgain();
        return;
    }
    const std::u16string text = AngleTextFromBytes(received);
    Text1->setText(
        QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size())));
    EnableSteppingTimer();
}

void Form1::Winsock1_ConnectionLost()
{
    ListenAgain();
}

void Form1::ListenAgain()
{
    Label4->setText(QStringLiteral("Off line"));
    if (!winsock1_.Listen())
        std::fprintf(stderr,
                     "stepper-dial: cannot listen on TCP port %u again: %s; restart the program "
                     "once the port is free\n",
                     unsigned(listenPort_), qPrintable(ListenError()));
}
