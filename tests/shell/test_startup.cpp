// Start-up, shut-down and the choice of port, through the real window on the
// platform doubles.
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "Doubles.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kNoPort = QStringLiteral("Invalid Port Number");

QString setting(const TestPlatform& tp, const char* key) {
    return tp.settings.values.value(MemorySettingsStore::path("KestrelUpdater", "Startup", key));
}

QComboBox* commList(Mainform& form) {
    return form.findChild<QComboBox*>("CommList");
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
  private slots:
    void firstRunOpensCom1AtTheLineSettings();
    void missingCom1FallsBackToNoCommWithTwoMessages();
    void udpPortTakenDisablesEthernetWithOneMessage();
    void remembersTheAddressButNotThePort();
    void quitAndClosingSaveTheSettingsAlike_data();
    void quitAndClosingSaveTheSettingsAlike();
    void rechoosingTheOpenPortReopensIt();
    void noCommKeepsTheOldPortOpen();
    void missingPortFallsBackToNoComm();
    void eachOpenFailureClassHasItsMessage_data();
    void eachOpenFailureClassHasItsMessage();
    void portListIsIgnoredOnEthernet();
    void choosingSerialReopensAndRewritesTheCaption();
    void showStatusDiscardsItsText();
};

void StartupTest::firstRunOpensCom1AtTheLineSettings() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();

    QCOMPARE(form.windowTitle(), QStringLiteral("Kestrel PRO Firmware Updater 0.1.0"));
    QCOMPARE(form.ipText(), QStringLiteral("10.10.10.10"));
    QVERIFY(tp.messages.shown.empty());
    QVERIFY(tp.serial.isOpen());
    QCOMPARE(tp.serial.portNumber(), 1);
    QCOMPARE(tp.serial.settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(tp.serial.handshaking(), 0);
    QCOMPARE(form.serialState().CommPortNumber, 1);
    QCOMPARE(commList(form)->count(), 9);
    QCOMPARE(commList(form)->itemText(0), QStringLiteral("NO COMM"));
    QCOMPARE(commList(form)->itemText(8), QStringLiteral("COM8"));
    QCOMPARE(commList(form)->currentText(), QStringLiteral("COM1"));
    QVERIFY(form.isSerialSelected());
    QVERIFY(!form.isEthernetSelected());
    QVERIFY(!form.isEnabled(Button::StartDownload));
    QCOMPARE(tp.udp.boundPort(), 7777);
    QCOMPARE(tp.udp.remotePort(), quint16(7775));
    QCOMPARE(tp.udp.remoteHost(), QStringLiteral("10.10.10.10"));
}

void StartupTest::missingCom1FallsBackToNoCommWithTwoMessages() {
    TestPlatform tp;  // no COM port exists
    Mainform form(tp.platform);
    form.Form_Load();
    QCOMPARE(tp.messages.texts(), (QStringList{kNoPort, kNoPort}));
    QCOMPARE(tp.messages.shown[0].icon, MessageIcon::None);
    QCOMPARE(commList(form)->currentText(), QStringLiteral("NO COMM"));
    QCOMPARE(form.serialState().CommPortNumber, 0);
    QVERIFY(!tp.serial.isOpen());
    QVERIFY(tp.serial.openings().size() == 2);
    QCOMPARE(tp.serial.openings()[0].portNumber, 1);
}

void StartupTest::udpPortTakenDisablesEthernetWithOneMessage() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    tp.udp.setBindResult({10048, QStringLiteral("Address in use")});
    Mainform form(tp.platform);
    form.Form_Load();
    QCOMPARE(
        tp.messages.texts(),
        QStringList{QStringLiteral("Winsock error[10048] occured, Description:Address in use")});
    QCOMPARE(tp.messages.shown[0].icon, MessageIcon::Exclamation);
    auto* ethernet = form.findChild<QRadioButton*>("optEthernet");
    QVERIFY(!ethernet->isEnabled());
    QVERIFY(form.isSerialSelected());
    QVERIFY(tp.serial.isOpen());  // serial mode carries on
}

void StartupTest::remembersTheAddressButNotThePort() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    tp.serial.setOpenResult(3, 0);
    tp.settings.write("KestrelUpdater", "Startup", "CommPort", "3");
    tp.settings.write("KestrelUpdater", "Startup", "IPaddress", "192.168.0.20");
    Mainform form(tp.platform);
    form.Form_Load();
    QCOMPARE(tp.serial.portNumber(), 1);
    QCOMPARE(form.ipText(), QStringLiteral("192.168.0.20"));
    // The socket keeps the design address until a command sets it again.
    QCOMPARE(tp.udp.remoteHost(), QStringLiteral("10.10.10.10"));
    form.Quit_Click();
    QCOMPARE(setting(tp, "CommPort"), QStringLiteral("1"));
}

void StartupTest::quitAndClosingSaveTheSettingsAlike_data() {
    QTest::addColumn<bool>("useQuit");
    QTest::newRow("Quit button") << true;
    QTest::newRow("closing the window") << false;
}

void StartupTest::quitAndClosingSaveTheSettingsAlike() {
    QFETCH(bool, useQuit);
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    tp.serial.setOpenResult(4, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    commList(form)->setCurrentIndex(4);
    emit commList(form)->activated(4);
    form.setIpText(QStringLiteral("10.0.0.7"));
    form.show();
    if (useQuit) {
        form.findChild<QPushButton*>("Quit")->click();
        QVERIFY(form.downloadState().QuitRequested);
    } else {
        form.close();
    }
    QCOMPARE(setting(tp, "CommPort"), QStringLiteral("4"));
    QCOMPARE(setting(tp, "IPaddress"), QStringLiteral("10.0.0.7"));
    QVERIFY(!tp.serial.isOpen());
    QVERIFY(!tp.serial.breakOn());
    QCOMPARE(tp.program.endCount, 1);
}

void StartupTest::rechoosingTheOpenPortReopensIt() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    const int closesBefore = tp.serial.closeCount();
    const size_t opensBefore = tp.serial.openings().size();
    emit commList(form)->activated(1);
    QCOMPARE(tp.serial.closeCount(), closesBefore + 1);
    QCOMPARE(tp.serial.openings().size(), opensBefore + 1);
    QVERIFY(tp.serial.isOpen());
    QCOMPARE(commList(form)->currentIndex(), 1);
}

void StartupTest::noCommKeepsTheOldPortOpen() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    commList(form)->setCurrentIndex(0);
    emit commList(form)->activated(0);
    QCOMPARE(form.serialState().CommPortNumber, 0);
    QVERIFY(tp.serial.isOpen());
    QCOMPARE(tp.serial.portNumber(), 1);
    QVERIFY(tp.messages.shown.empty());
}

void StartupTest::missingPortFallsBackToNoComm() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    commList(form)->setCurrentIndex(6);
    emit commList(form)->activated(6);
    QCOMPARE(tp.messages.texts(), QStringList{kNoPort});
    QCOMPARE(commList(form)->currentIndex(), 0);
    QCOMPARE(form.serialState().CommPortNumber, 0);
    QVERIFY(!tp.serial.isOpen());  // the old port was closed before the attempt
}

void StartupTest::eachOpenFailureClassHasItsMessage_data() {
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("message");
    QTest::newRow("8002") << 8002 << "Invalid Port Number";
    QTest::newRow("8005") << 8005 << "Port already open\r(Already is use?)";
    QTest::newRow("8010") << 8010 << "The hardware is not available (locked by another device)";
    QTest::newRow("8012") << 8012 << "The device is not open";
    QTest::newRow("8013") << 8013 << "The device is already open";
    QTest::newRow("8003") << 8003 << "Unknown error trying to Connect Comm Port";
    QTest::newRow("8011") << 8011 << "Unknown error trying to Connect Comm Port";
    QTest::newRow("below the range") << 42 << "Unknown error trying to Connect Comm Port";
    QTest::newRow("above the range") << 8014 << "Unknown error trying to Connect Comm Port";
}

void StartupTest::eachOpenFailureClassHasItsMessage() {
    QFETCH(int, error);
    QFETCH(QString, message);
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    tp.serial.setOpenResult(2, error);
    Mainform form(tp.platform);
    form.Form_Load();
    commList(form)->setCurrentIndex(2);
    emit commList(form)->activated(2);
    QCOMPARE(tp.messages.texts(), QStringList{message});
    QCOMPARE(tp.messages.shown[0].icon, MessageIcon::None);
    QCOMPARE(commList(form)->currentText(), QStringLiteral("NO COMM"));
    QCOMPARE(form.serialState().CommPortNumber, 0);
    QVERIFY(form.statusText().isEmpty());
}

void StartupTest::portListIsIgnoredOnEthernet() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    tp.serial.setOpenResult(2, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    form.selectEthernet();
    const size_t opensBefore = tp.serial.openings().size();
    commList(form)->setCurrentIndex(2);
    emit commList(form)->activated(2);
    QCOMPARE(tp.serial.openings().size(), opensBefore);
    QCOMPARE(form.serialState().CommPortNumber, 1);
}

void StartupTest::choosingSerialReopensAndRewritesTheCaption() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    form.setWindowCaption(QStringLiteral("something else"));
    const size_t opensBefore = tp.serial.openings().size();
    form.findChild<QRadioButton*>("optSerial")->click();
    QCOMPARE(form.windowTitle(), QStringLiteral("Kestrel PRO Firmware Updater 0.1.0"));
    QCOMPARE(tp.serial.openings().size(), opensBefore + 1);
    QVERIFY(form.findChild<QComboBox*>("CommList")->isVisibleTo(&form));
}

void StartupTest::showStatusDiscardsItsText() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    const QString before = form.statusText();
    form.ShowStatus(QStringLiteral("diagnostic"));
    QCOMPARE(form.statusText(), before);
    QVERIFY(tp.messages.shown.empty());
}

QTEST_MAIN(StartupTest)
#include "test_startup.moc"
