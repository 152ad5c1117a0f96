#include "Mainform.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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

Mainform::Mainform(Platform& platform) : c_(std::make_unique<Controls>()) {
    buildControls();
    session_ = std::make_unique<Session>(platform, *this);
    connectControls();
}

Mainform::~Mainform() = default;

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
    c.CommList->addItem(QStringLiteral("NO COMM"));
    for (int n = 1; n <= 8; ++n) {
        c.CommList->addItem(QStringLiteral("COM%1").arg(n));
    }
    c.txtIP =
        place<QLineEdit>(c.Frame3, "txtIP", twips(1500, 660, 1515, 315), Session::defaultAddress());
    c.txtIP->setFont(baseFont(false));
    paintBackground(c.txtIP, Qt::white);
    c.txtIP->hide();
    c.Ping = pushButton(c.Frame3, "Ping", "Ping", twips(3120, 660, 675, 315));
    c.Ping->hide();

    c.txtScript = place<QPlainTextEdit>(this, "txtScript", twips(4080, 3000, 4215, 1095));
    c.txtScript->setFont(baseFont(false));
    c.txtScript->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    paintBackground(c.txtScript, grey);
    QPalette scriptPalette = c.txtScript->palette();
    scriptPalette.setColor(QPalette::Text, QPalette().color(QPalette::WindowText));
    c.txtScript->setPalette(scriptPalette);

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
    Session& session = *session_;
    connect(c.Quit, &QPushButton::clicked, this, [this] { Quit_Click(); });
    connect(c.OpenPrograms, &QPushButton::clicked, this,
            [&session] { session.OpenPrograms_Click(); });
    connect(c.StartDownload, &QPushButton::clicked, this,
            [&session] { session.StartDownload_Click(); });
    // A user's choice raises the click even when it re-chooses the entry shown.
    connect(c.CommList, &QComboBox::activated, this,
            [&session](int index) { session.choosePort(index); });
    connect(c.optSerial, &QRadioButton::clicked, this,
            [&session] { session.chooseLink(Link::Serial); });
    connect(c.optEthernet, &QRadioButton::clicked, this,
            [&session] { session.chooseLink(Link::Ethernet); });
    connect(c.Ping, &QPushButton::clicked, this, [&session] { session.Ping_Click(); });
    connect(c.txtIP, &QLineEdit::textEdited, this,
            [&session](const QString& text) { session.editAddress(text); });
    c.txtIP->installEventFilter(this);
}

bool Mainform::eventFilter(QObject* watched, QEvent* event) {
    if (watched == c_->txtIP && event->type() == QEvent::FocusOut) {
        session_->txtIP_LostFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void Mainform::Quit_Click() {
    session_->Quit_Click();
    if (openBox_) {
        openBox_->done(QMessageBox::Ok);
    }
}

void Mainform::closeEvent(QCloseEvent* event) {
    if (!session_->ended()) {
        Quit_Click();
    }
    // Inside a wait the session ends once the running handler has unwound;
    // sessionEnded() closes the window then.
    if (session_->ended()) {
        event->accept();
    } else {
        event->ignore();
    }
}

// ---- SessionObserver ----

void Mainform::statusAppended(const QString& text) {
    // Status text replaces the selection at the caret, as typed text would.
    c_->txtScript->textCursor().insertText(text);
    c_->txtScript->verticalScrollBar()->setValue(c_->txtScript->verticalScrollBar()->maximum());
}

void Mainform::statusCleared() {
    c_->txtScript->clear();
}

void Mainform::driveChanged(const DriveShown& drive) {
    c_->DriveRev->setText(drive.revision);
    c_->DriveModel->setText(drive.model);
    c_->DriveDesc->setText(drive.description);
}

void Mainform::fileChanged(const FileShown& file) {
    c_->FileRev->setText(file.revision);
    c_->FileModel->setText(file.model);
    c_->FileName->setText(file.name);
}

void Mainform::countersChanged(const Counters& counters) {
    c_->Records->setText(counters.records);
    c_->PacketsSent->setText(counters.packetsSent);
    c_->PacketsAckd->setText(counters.packetsAckd);
    c_->TimeOutAcks->setText(counters.timeOutAcks);
}

void Mainform::progressChanged(qint64 value, qint64 maximum) {
    // QProgressBar counts in int; large files are scaled to keep the ratio.
    const qint64 scale = maximum > INT_MAX ? maximum / INT_MAX + 1 : 1;
    c_->ProgressBar1->setMaximum(static_cast<int>(maximum / scale));
    c_->ProgressBar1->setValue(static_cast<int>(value / scale));
}

void Mainform::extraTextChanged(const QString& text) {
    c_->eText->setPlainText(text);
}

void Mainform::actionsChanged(const Actions& actions) {
    c_->StartDownload->setEnabled(actions.startDownload);
    c_->OpenPrograms->setEnabled(actions.openPrograms);
    for (QWidget* control :
         std::initializer_list<QWidget*>{c_->optSerial, c_->CommList, c_->txtIP, c_->Ping}) {
        control->setEnabled(actions.changeConnection);
    }
    c_->optEthernet->setEnabled(actions.chooseEthernet);
}

void Mainform::linkChanged(Link link) {
    const bool ethernet = link == Link::Ethernet;
    (ethernet ? c_->optEthernet : c_->optSerial)->setChecked(true);
    c_->CommList->setVisible(!ethernet);
    c_->txtIP->setVisible(ethernet);
    c_->Ping->setVisible(ethernet);
}

void Mainform::portChoiceChanged(int index) {
    c_->CommList->setCurrentIndex(index);
}

void Mainform::addressChanged(const QString& address) {
    // Typing reports the text back; leave the caret where the user has it.
    if (c_->txtIP->text() != address) {
        c_->txtIP->setText(address);
    }
}

void Mainform::titleChanged(const QString& title) {
    setWindowTitle(title);
}

void Mainform::showMessage(const QString& text, MessageIcon icon) {
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    if (icon == MessageIcon::Exclamation) {
        qtIcon = QMessageBox::Warning;
    } else if (icon == MessageIcon::Critical) {
        qtIcon = QMessageBox::Critical;
    }
    QMessageBox box(qtIcon, AppInfo::title(), text, QMessageBox::Ok, this);
    openBox_ = &box;
    box.exec();
}

void Mainform::sessionEnded() {
    hide();
    if (endHandler_) {
        endHandler_();
    }
}

}  // namespace kestrel
