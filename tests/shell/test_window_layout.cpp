// The window as laid out: every visible control where the control table puts
// it (twips at 15 per pixel), with its caption, kind, fonts and colours.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "Doubles.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

class WindowLayoutTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void clientAreaAndCaption();
    void controls_data();
    void controls();
    void hiddenControlsStayHidden_data();
    void hiddenControlsStayHidden();
    void fontsAndColours();
    void rendersAndCanBeSaved();

  private:
    std::unique_ptr<TestPlatform> tp_;
    std::unique_ptr<Mainform> form_;
};

void WindowLayoutTest::init() {
    tp_ = std::make_unique<TestPlatform>();
    tp_->serial.setOpenResult(1, 0);
    form_ = std::make_unique<Mainform>(tp_->platform);
    form_->Form_Load();
    form_->show();
}

void WindowLayoutTest::cleanup() {
    form_.reset();
    tp_.reset();
}

void WindowLayoutTest::clientAreaAndCaption() {
    QCOMPARE(form_->size(), QSize(561, 280));
    QCOMPARE(form_->windowTitle(), QStringLiteral("Kestrel PRO Firmware Updater 0.1.0"));
}

void WindowLayoutTest::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("twips");
    auto row = [](const char* name, const char* parent, const char* kind, const char* text,
                  QRect twips) {
        QTest::newRow(name) << name << parent << kind << QString::fromUtf8(text) << twips;
    };
    row("Image1", "Mainform", "QLabel", "", {60, 60, 2730, 795});
    row("Frame2", "Mainform", "QGroupBox", "Progress", {2880, 60, 3855, 735});
    row("ProgressBar1", "Frame2", "QProgressBar", "", {180, 300, 3495, 315});
    row("Quit", "Mainform", "QPushButton", "Quit", {6840, 120, 1455, 735});
    row("FrameDrive", "Mainform", "QGroupBox", "Firmware File", {60, 960, 8295, 855});
    row("OpenPrograms", "FrameDrive", "QPushButton", "Open Firmware File...",
        {120, 360, 2295, 375});
    row("Label2", "FrameDrive", "QLabel", "Revision", {2520, 180, 915, 195});
    row("FileRev", "FrameDrive", "QLabel", "0.00", {2520, 420, 915, 255});
    row("Label4", "FrameDrive", "QLabel", "Model(s)", {3480, 180, 1035, 195});
    row("FileModel", "FrameDrive", "QLabel", "None", {3480, 420, 1395, 255});
    row("Label6", "FrameDrive", "QLabel", "File Name", {4560, 180, 3555, 195});
    row("FileName", "FrameDrive", "QLabel", "Not Loaded", {4920, 420, 3255, 255});
    row("Frame1", "Mainform", "QGroupBox", "Drive", {60, 1920, 8295, 855});
    row("StartDownload", "Frame1", "QPushButton", "Download to Drive...", {120, 360, 2295, 375});
    row("Label1", "Frame1", "QLabel", "Revision", {2520, 180, 915, 195});
    row("DriveRev", "Frame1", "QLabel", "0.00", {2520, 420, 915, 255});
    row("Label5", "Frame1", "QLabel", "Model", {3480, 180, 1035, 195});
    row("DriveModel", "Frame1", "QLabel", "None", {3480, 420, 1395, 255});
    row("Label8", "Frame1", "QLabel", "Description", {4560, 180, 3555, 195});
    row("DriveDesc", "Frame1", "QLabel", "", {4920, 420, 3255, 255});
    row("Frame3", "Mainform", "QGroupBox", "Drive Communication", {60, 2940, 3915, 1155});
    row("optSerial", "Frame3", "QRadioButton", "RS-232/422", {120, 360, 1215, 195});
    row("CommList", "Frame3", "QComboBox", "COM1", {1500, 300, 1815, 315});
    row("txtScript", "Mainform", "QPlainTextEdit", "", {4080, 3000, 4215, 1095});
}

void WindowLayoutTest::controls() {
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QRect, twips);
    auto* widget = form_->findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->geometry(),
             QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    QVERIFY(widget->isVisible());
    QString shown;
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        shown = label->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        shown = button->text();
    } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        shown = box->title();
    } else if (auto* list = qobject_cast<QComboBox*>(widget)) {
        shown = list->currentText();
    } else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
        shown = edit->toPlainText();
    }
    QCOMPARE(shown, text);
}

void WindowLayoutTest::hiddenControlsStayHidden_data() {
    QTest::addColumn<QString>("name");
    for (const char* name :
         {"optEthernet", "txtIP", "Ping", "Records", "PacketsSent", "PacketsAckd", "TimeOutAcks",
          "Label3", "Label7", "Label9", "Label10", "eText"}) {
        QTest::newRow(name) << name;
    }
}

void WindowLayoutTest::hiddenControlsStayHidden() {
    QFETCH(QString, name);
    auto* widget = form_->findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QVERIFY(!widget->isVisible());
}

void WindowLayoutTest::fontsAndColours() {
    const QColor grey(0xE8, 0xE8, 0xE8);
    for (const char* name : {"Frame2", "FrameDrive", "Frame1", "Frame3", "Label2", "Label4",
                             "Label6", "Label1", "Label5", "Label8"}) {
        const QFont font = form_->findChild<QWidget*>(name)->font();
        QVERIFY2(font.bold(), name);
        QCOMPARE(font.pointSizeF(), 8.25);
    }
    for (const char* name :
         {"Quit", "OpenPrograms", "FileRev", "DriveDesc", "optSerial", "CommList", "txtScript"}) {
        auto* widget = form_->findChild<QWidget*>(name);
        QVERIFY2(!widget->font().bold(), name);
        QCOMPARE(widget->palette().color(widget->backgroundRole()), grey);
    }
    auto* ip = form_->findChild<QLineEdit*>("txtIP");
    QCOMPARE(ip->palette().color(QPalette::Base), QColor(Qt::white));
    auto* value = form_->findChild<QLabel*>("FileName");
    QVERIFY(value->alignment() & Qt::AlignHCenter);
    QVERIFY(value->frameShape() != QFrame::NoFrame);
    QCOMPARE(form_->findChild<QLineEdit*>("Records")->text(), QStringLiteral("0"));
    QVERIFY(form_->findChild<QLineEdit*>("Records")->y() >= 280);
    auto* progress = form_->findChild<QProgressBar*>("ProgressBar1");
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 100);
    QCOMPARE(progress->value(), 0);
}

void WindowLayoutTest::rendersAndCanBeSaved() {
    const QPixmap picture = form_->grab();
    QCOMPARE(picture.size() / picture.devicePixelRatio(), QSize(561, 280));
    // The logo is drawn, not left blank.
    const QImage logo = form_->findChild<QLabel*>("Image1")->pixmap().toImage();
    QVERIFY(!logo.isNull());
    QVERIFY(logo.pixelColor(logo.width() / 8, logo.height() * 2 / 3) != QColor(0xE8, 0xE8, 0xE8) ||
            logo.pixelColor(logo.width() / 2, logo.height() / 2) != QColor(0xE8, 0xE8, 0xE8));
    // scripts/screenshot sets this to refresh the README's picture.
    const QString target = qEnvironmentVariable("KESTREL_SCREENSHOT");
    if (!target.isEmpty()) {
        QVERIFY(picture.save(target));
    }
}

QTEST_MAIN(WindowLayoutTest)
#include "test_window_layout.moc"
