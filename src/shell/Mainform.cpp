#include "Mainform.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextCursor>

#include "Logo.h"
#include "platform/AppInfo.h"

namespace kestrel {

namespace {

constexpr int kTwipsPerPixel = 15;
constexpr QRgb kControlBackground = 0xE8E8E8;
constexpr quint16 kLocalUdpPort = 7777;
constexpr quint16 kDriveUdpPort = 7775;
const char* const kDefaultIp = "10.10.10.10";

QRect twips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

QFont baseFont(bool bold) {
    // Metrics close to the classic dialog font the layout was drawn for, so
    // captions fit their twip-sized boxes; any sans-serif font will do.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Helvetica"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

void paintBackground(QWidget* widget, QColor colour) {
    QPalette palette = widget->palette();
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Button, QPalette::Base}) {
        palette.setColor(role, colour);
    }
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

template <typename W, typename... Args>
W* place(QWidget* parent, const char* name, QRect geometry, Args&&... args) {
    auto* widget = new W(std::forward<Args>(args)..., parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

}  // namespace

struct Mainform::Controls {
    QLabel* Image1;
    QGroupBox* Frame2;
    QProgressBar* ProgressBar1;
    QPushButton* Quit;
    QGroupBox* FrameDrive;
    QPushButton* OpenPrograms;
    QLabel* FileRev;
    QLabel* FileModel;
    QLabel* FileName;
    QGroupBox* Frame1;
    QPushButton* StartDownload;
    QLabel* DriveRev;
    QLabel* DriveModel;
    QLabel* DriveDesc;
    QGroupBox* Frame3;
    QRadioButton* optSerial;
    QRadioButton* optEthernet;
    QComboBox* CommList;
    QLineEdit* txtIP;
    QPushButton* Ping;
    QPlainTextEdit* txtScript;
    QLineEdit* Records;
    QLineEdit* PacketsSent;
    QLineEdit* PacketsAckd;
    QLineEdit* TimeOutAcks;
    QPlainTextEdit* eText;
};

Mainform::Mainform(Platform& platform)
    : platform_(platform),
      waits_(platform.clock, platform.pump),
      portManager_(platform.serial, platform.messages, *this, serial_),
      serialExchange_(platform.serial, platform.clock, waits_, platform.messages, *this, serial_,
                      drive_, firmware_, download_),
      firmwareChooser_(platform.fileDialog, platform.messages, *this, firmware_),
      udpChannel_(platform.udp, platform.clock, platform.pump, *this, udp_),
      driveAddress_(platform.udp, waits_, platform.messages, *this, udp_),
      c_(std::make_unique<Controls>()) {
    buildControls();
    connectControls();
}

Mainform::~Mainform() {
    platform_.serial.setReceiveHandler({});
    platform_.udp.setArrivalHandler({});
}

void Mainform::buildControls() {
    setObjectName(QStringLiteral("Mainform"));
    setFixedSize(8415 / kTwipsPerPixel, 4200 / kTwipsPerPixel);
    setFont(baseFont(false));
    const QColor grey = QColor::fromRgb(kControlBackground);
    auto& c = *c_;

    auto frame = [&](QWidget* parent, const char* name, const char* title, QRect geometry) {
        auto* box = place<QGroupBox>(parent, name, geometry, QLatin1String(title));
        box->setFont(baseFont(true));
        paintBackground(box, grey);
        return box;
    };
    auto fieldLabel = [&](QWidget* parent, const char* name, const char* text, QRect geometry) {
        auto* label = place<QLabel>(parent, name, geometry, QLatin1String(text));
        label->setFont(baseFont(true));
        label->setAlignment(Qt::AlignCenter);
        return label;
    };
    auto valueField = [&](QWidget* parent, const char* name, const char* text, QRect geometry) {
        auto* label = place<QLabel>(parent, name, geometry, QLatin1String(text));
        label->setFont(baseFont(false));
        label->setAlignment(Qt::AlignCenter);
        label->setFrameStyle(QFrame::Box | QFrame::Plain);
        paintBackground(label, grey);
        return label;
    };
    auto pushButton = [&](QWidget* parent, const char* name, const char* text, QRect geometry) {
        auto* b = place<QPushButton>(parent, name, geometry, QLatin1String(text));
        b->setFont(baseFont(false));
        paintBackground(b, grey);
        return b;
    };

    c.Image1 = place<QLabel>(this, "Image1", twips(60, 60, 2730, 795));
    c.Image1->setPixmap(drawLogo(c.Image1->width(), c.Image1->height()));

    c.Frame2 = frame(this, "Frame2", "Progress", twips(2880, 60, 3855, 735));
    c.ProgressBar1 = place<QProgressBar>(c.Frame2, "ProgressBar1", twips(180, 300, 3495, 315));
    c.ProgressBar1->setRange(0, 100);
    c.ProgressBar1->setValue(0);
    c.ProgressBar1->setTextVisible(false);
    c.ProgressBar1->setFont(baseFont(false));
    c.Quit = pushButton(this, "Quit", "Quit", twips(6840, 120, 1455, 735));

    c.FrameDrive = frame(this, "FrameDrive", "Firmware File", twips(60, 960, 8295, 855));
    c.OpenPrograms = pushButton(c.FrameDrive, "OpenPrograms", "Open Firmware File...",
                                twips(120, 360, 2295, 375));
    fieldLabel(c.FrameDrive, "Label2", "Revision", twips(2520, 180, 915, 195));
    c.FileRev = valueField(c.FrameDrive, "FileRev", "0.00", twips(2520, 420, 915, 255));
    fieldLabel(c.FrameDrive, "Label4", "Model(s)", twips(3480, 180, 1035, 195));
    c.FileModel = valueField(c.FrameDrive, "FileModel", "None", twips(3480, 420, 1395, 255));
    fieldLabel(c.FrameDrive, "Label6", "File Name", twips(4560, 180, 3555, 195));
    c.FileName = valueField(c.FrameDrive, "FileName", "Not Loaded", twips(4920, 420, 3255, 255));

    c.Frame1 = frame(this, "Frame1", "Drive", twips(60, 1920, 8295, 855));
    c.StartDownload =
        pushButton(c.Frame1, "StartDownload", "Download to Drive...", twips(120, 360, 2295, 375));
    fieldLabel(c.Frame1, "Label1", "Revision", twips(2520, 180, 915, 195));
    c.DriveRev = valueField(c.Frame1, "DriveRev", "0.00", twips(2520, 420, 915, 255));
    fieldLabel(c.Frame1, "Label5", "Model", twips(3480, 180, 1035, 195));
    c.DriveModel = valueField(c.Frame1, "DriveModel", "None", twips(3480, 420, 1395, 255));
    fieldLabel(c.Frame1, "Label8", "Description", twips(4560, 180, 3555, 195));
    c.DriveDesc = valueField(c.Frame1, "DriveDesc", "", twips(4920, 420, 3255, 255));

    c.Frame3 = frame(this, "Frame3", "Drive Communication", twips(60, 2940, 3915, 1155));
    c.optSerial = place<QRadioButton>(c.Frame3, "optSerial", twips(120, 360, 1215, 195),
                                      QStringLiteral("RS-232/422"));
    c.optEthernet = place<QRadioButton>(c.Frame3, "optEthernet", twips(120, 720, 1095, 195),
                                        QStringLiteral("Ethernet"));
    for (QRadioButton* option : {c.optSerial, c.optEthernet}) {
        option->setFont(baseFont(false));
        paintBackground(option, grey);
    }
    c.optSerial->setChecked(true);
    c.optEthernet->hide();
    c.CommList = place<QComboBox>(c.Frame3, "CommList", twips(1500, 300, 1815, 315));
    c.CommList->setFont(baseFont(false));
    paintBackground(c.CommList, grey);
    c.txtIP =
        place<QLineEdit>(c.Frame3, "txtIP", twips(1500, 660, 1515, 315), QLatin1String(kDefaultIp));
    c.txtIP->setFont(baseFont(false));
    paintBackground(c.txtIP, Qt::white);
    c.txtIP->hide();
    c.Ping = pushButton(c.Frame3, "Ping", "Ping", twips(3120, 660, 675, 315));
    c.Ping->hide();

    c.txtScript = place<QPlainTextEdit>(this, "txtScript", twips(4080, 3000, 4215, 1095));
    c.txtScript->setFont(baseFont(false));
    c.txtScript->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    paintBackground(c.txtScript, grey);

    // Counters of the download, kept although nobody sees them.
    int left = 120;
    auto hiddenBox = [&](const char* name, const char* label, const char* labelName,
                         const char* text) {
        auto* box = place<QLineEdit>(this, name, twips(left, 5400, 1215, 285), QLatin1String(text));
        place<QLabel>(this, labelName, twips(left, 5460 + 300, 1215, 195), QLatin1String(label))
            ->hide();
        box->hide();
        left += 1335;
        return box;
    };
    c.Records = hiddenBox("Records", "records", "Label3", "0");
    c.PacketsSent = hiddenBox("PacketsSent", "packets sent", "Label7", "");
    c.PacketsAckd = hiddenBox("PacketsAckd", "packets ack'd", "Label9", "");
    c.TimeOutAcks = hiddenBox("TimeOutAcks", "timeout ack'd", "Label10", "");
    c.eText = place<QPlainTextEdit>(this, "eText", twips(120, 4260, 8175, 1035));
    c.eText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    c.eText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    c.eText->setLineWrapMode(QPlainTextEdit::NoWrap);
    c.eText->hide();
}

void Mainform::connectControls() {
    auto& c = *c_;
    connect(c.Quit, &QPushButton::clicked, this, [this] { Quit_Click(); });
    connect(c.OpenPrograms, &QPushButton::clicked, this,
            [this] { firmwareChooser_.OpenPrograms_Click(); });
    // A user's choice raises the click even when it re-chooses the entry shown.
    connect(c.CommList, &QComboBox::activated, this, [this] { portManager_.CommList_Click(); });
    connect(c.optSerial, &QRadioButton::clicked, this, [this] { portManager_.optSerial_Click(); });
    connect(c.optEthernet, &QRadioButton::clicked, this,
            [this] { driveAddress_.optEthernet_Click(); });
    connect(c.Ping, &QPushButton::clicked, this, [this] { driveAddress_.Ping_Click(); });
    c.txtIP->installEventFilter(this);

    waits_.setReceivePoll([this] { serialExchange_.MSComm1_OnComm(); });
    platform_.serial.setReceiveHandler([this] { serialExchange_.MSComm1_OnComm(); });
    platform_.udp.setArrivalHandler([this] { udpChannel_.Winsock1_DataArrival(); });
}

bool Mainform::eventFilter(QObject* watched, QEvent* event) {
    if (watched == c_->txtIP && event->type() == QEvent::FocusOut) {
        driveAddress_.txtIP_LostFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void Mainform::Form_Load() {
    serialExchange_.InitSerialComm();
    setWindowCaption(AppInfo::titleWithVersion());
    c_->optEthernet->setChecked(false);

    const UdpBindResult bound = platform_.udp.bind(kLocalUdpPort);
    if (bound.error > 0) {
        platform_.messages.show(QStringLiteral("Winsock error[%1] occured, Description:%2")
                                    .arg(bound.error)
                                    .arg(bound.description),
                                MessageIcon::Exclamation);
        setEthernetOptionEnabled(false);
        selectSerial();
    }
    platform_.udp.setRemotePort(kDriveUdpPort);
    platform_.udp.setRemoteHost(ipText());

    udp_.UdpRingRead = udp_.UdpRingWrite = 0;
    download_.LastDotBlock = download_.BlockCount = 0;
    drive_.DriveModelCode = 0;
    serial_.QTSent = download_.DownloadDone = download_.Downloading = false;
    serial_.BootLoaderVersion = 0;
    serial_.RxBuffer.clear();
    serial_.CommSettings = QStringLiteral("9600,N,8,1");

    c_->CommList->clear();
    c_->CommList->addItem(QStringLiteral("NO COMM"));
    for (int n = 1; n <= 8; ++n) {
        c_->CommList->addItem(QStringLiteral("COM%1").arg(n));
    }
    c_->CommList->setCurrentIndex(0);
    setCommListIndex(1);
    serial_.CommPortNumber = 1;

    if (isSerialSelected()) {
        if (serial_.CommPortNumber > 0) {
            if (portManager_.OpenCommPort(serial_.CommPortNumber, serial_.CommSettings,
                                          Handshaking::None)) {
                setCommListIndex(serial_.CommPortNumber);
            } else {
                setCommListIndex(0);
                serial_.CommPortNumber = 0;
            }
        }
        setEnabled(Button::StartDownload, false);
    }

    download_.QuitRequested = false;
    QPalette palette = c_->txtScript->palette();
    palette.setColor(QPalette::Text, QPalette().color(QPalette::WindowText));
    c_->txtScript->setPalette(palette);
    setIpText(platform_.settings.read(AppInfo::settingsApplication(), QStringLiteral("Startup"),
                                      QStringLiteral("IPaddress"), QLatin1String(kDefaultIp)));
}

void Mainform::Form_Unload() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    if (platform_.serial.isOpen()) {
        platform_.serial.setBreak(false);
        platform_.serial.close();
    }
    const QString app = AppInfo::settingsApplication();
    platform_.settings.write(app, QStringLiteral("Startup"), QStringLiteral("CommPort"),
                             QString::number(serial_.CommPortNumber));
    platform_.settings.write(app, QStringLiteral("Startup"), QStringLiteral("IPaddress"), ipText());
    platform_.program.endProgram();
}

void Mainform::Quit_Click() {
    download_.QuitRequested = true;
    close();
}

void Mainform::ShowStatus(const QString& /*OutString*/) {}

void Mainform::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

// ---- WindowView ----

QLabel* Mainform::labelFor(Label label) const {
    switch (label) {
        case Label::FileRev:
            return c_->FileRev;
        case Label::FileModel:
            return c_->FileModel;
        case Label::FileName:
            return c_->FileName;
        case Label::DriveRev:
            return c_->DriveRev;
        case Label::DriveModel:
            return c_->DriveModel;
        case Label::DriveDesc:
            return c_->DriveDesc;
    }
    return c_->DriveDesc;
}

QLineEdit* Mainform::counterBox(Counter counter) const {
    switch (counter) {
        case Counter::Records:
            return c_->Records;
        case Counter::PacketsSent:
            return c_->PacketsSent;
        case Counter::PacketsAckd:
            return c_->PacketsAckd;
        case Counter::TimeOutAcks:
            return c_->TimeOutAcks;
    }
    return c_->Records;
}

QPushButton* Mainform::button(Button button) const {
    switch (button) {
        case Button::StartDownload:
            return c_->StartDownload;
        case Button::OpenPrograms:
            return c_->OpenPrograms;
        case Button::Ping:
            return c_->Ping;
        case Button::Quit:
            return c_->Quit;
    }
    return c_->Quit;
}

QString Mainform::caption(Label label) const {
    return labelFor(label)->text();
}
void Mainform::setCaption(Label label, const QString& text) {
    labelFor(label)->setText(text);
}
QString Mainform::counter(Counter counter) const {
    return counterBox(counter)->text();
}
void Mainform::setCounter(Counter counter, const QString& text) {
    counterBox(counter)->setText(text);
}
bool Mainform::isEnabled(Button b) const {
    return button(b)->isEnabled();
}
void Mainform::setEnabled(Button b, bool enabled) {
    button(b)->setEnabled(enabled);
}

void Mainform::appendStatus(const QString& text) {
    // Status text replaces the selection at the caret, as typed text would.
    c_->txtScript->textCursor().insertText(text);
    c_->txtScript->verticalScrollBar()->setValue(c_->txtScript->verticalScrollBar()->maximum());
}

void Mainform::clearStatus() {
    c_->txtScript->clear();
}
QString Mainform::statusText() const {
    // The box keeps lines apart with its own separator; report CR LF as shown.
    return c_->txtScript->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}
void Mainform::setExtraText(const QString& text) {
    c_->eText->setPlainText(text);
}

void Mainform::setProgress(qint64 value, qint64 maximum) {
    // QProgressBar counts in int; large files are scaled to keep the ratio.
    const qint64 scale = maximum > INT_MAX ? maximum / INT_MAX + 1 : 1;
    c_->ProgressBar1->setMaximum(static_cast<int>(maximum / scale));
    c_->ProgressBar1->setValue(static_cast<int>(value / scale));
}

bool Mainform::isEthernetSelected() const {
    return c_->optEthernet->isChecked();
}
bool Mainform::isSerialSelected() const {
    return c_->optSerial->isChecked();
}

void Mainform::selectSerial() {
    if (!c_->optSerial->isChecked()) {
        c_->optSerial->setChecked(true);
        portManager_.optSerial_Click();
    }
}

void Mainform::selectEthernet() {
    if (!c_->optEthernet->isChecked()) {
        c_->optEthernet->setChecked(true);
        driveAddress_.optEthernet_Click();
    }
}

void Mainform::setEthernetOptionEnabled(bool enabled) {
    c_->optEthernet->setEnabled(enabled);
}
int Mainform::commListIndex() const {
    return c_->CommList->currentIndex();
}

void Mainform::setCommListIndex(int index) {
    if (c_->CommList->currentIndex() == index) {
        return;
    }
    c_->CommList->setCurrentIndex(index);
    portManager_.CommList_Click();
}

void Mainform::setCommListVisible(bool visible) {
    c_->CommList->setVisible(visible);
}
QString Mainform::ipText() const {
    return c_->txtIP->text();
}
void Mainform::setIpText(const QString& text) {
    c_->txtIP->setText(text);
}
void Mainform::setIpVisible(bool visible) {
    c_->txtIP->setVisible(visible);
}
void Mainform::setPingVisible(bool visible) {
    c_->Ping->setVisible(visible);
}
QString Mainform::windowCaption() const {
    return windowTitle();
}
void Mainform::setWindowCaption(const QString& text) {
    setWindowTitle(text);
}

}  // namespace kestrel
