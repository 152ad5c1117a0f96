#include <QBuffer>
#include <QTest>

#include "firmware/FirmwareHeader.h"

using kestrel::FirmwareHeader;
using Status = kestrel::FirmwareHeader::Status;

namespace {

// Serves `good` and then fails every further read, like a disk that goes away.
class FailingDevice final : public QIODevice {
  public:
    explicit FailingDevice(QByteArray good) : good_(std::move(good)) {
        open(QIODevice::ReadOnly);
        setErrorString(QStringLiteral("the disk went away"));
    }
    bool isSequential() const override { return true; }

  protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (good_.isEmpty()) {
            return -1;
        }
        const qint64 n = qMin<qint64>(maxSize, good_.size());
        memcpy(data, good_.constData(), static_cast<size_t>(n));
        good_.remove(0, static_cast<qsizetype>(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    QByteArray good_;
};

}  // namespace

class TestFirmwareHeader : public QObject {
    Q_OBJECT
  private slots:
    void readField_data();
    void readField();
    void readFirmwareHeader_data();
    void readFirmwareHeader();
    void headerLeavesFileAtTheUnusedBytes();
    void deviceFailureIsReported_data();
    void deviceFailureIsReported();
    void revisionNumber_data();
    void revisionNumber();
    void modelCode_data();
    void modelCode();
    void fileModelCaption_data();
    void fileModelCaption();
};

void TestFirmwareHeader::readField_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("consumed");

    const QByteArray longest(kestrel::kMaxFieldLength, 'x');
    QTest::newRow("comma ends") << QByteArray("1.05,57") << true << QByteArray("1.05") << 5LL;
    QTest::newRow("CR ends") << QByteArray("1.05\r57") << true << QByteArray("1.05") << 5LL;
    QTest::newRow("LF ends") << QByteArray("1.05\n57") << true << QByteArray("1.05") << 5LL;
    QTest::newRow("CR LF is one line end")
        << QByteArray("1.05\r\n57") << true << QByteArray("1.05") << 6LL;
    QTest::newRow("LF CR is two line ends")
        << QByteArray("1.05\n\r57") << true << QByteArray("1.05") << 5LL;
    QTest::newRow("end of data ends") << QByteArray("1.05") << true << QByteArray("1.05") << 4LL;
    QTest::newRow("leading spaces skipped")
        << QByteArray("   57\r\n") << true << QByteArray("57") << 7LL;
    QTest::newRow("trailing spaces kept")
        << QByteArray("57  ,x") << true << QByteArray("57  ") << 5LL;
    QTest::newRow("a tab is not a space")
        << QByteArray("\t57,") << true << QByteArray("\t57") << 4LL;
    QTest::newRow("empty field") << QByteArray(",57") << true << QByteArray() << 1LL;
    QTest::newRow("no data") << QByteArray() << true << QByteArray() << 0LL;
    QTest::newRow("binary after the field")
        << QByteArray("57\r\n\x00\x01\xff", 7) << true << QByteArray("57") << 4LL;
    QTest::newRow("quoted") << QByteArray("\"/home/a b/Flash.elf.E\"\r\n") << true
                            << QByteArray("/home/a b/Flash.elf.E") << 25LL;
    QTest::newRow("quoted after spaces")
        << QByteArray("  \"1.05\",57") << true << QByteArray("1.05") << 9LL;
    QTest::newRow("quotes hold commas and line ends")
        << QByteArray("\"a,b\r\nc\",x") << true << QByteArray("a,b\r\nc") << 9LL;
    QTest::newRow("quoted, spaces before the comma")
        << QByteArray("\"ab\"  ,x") << true << QByteArray("ab") << 7LL;
    QTest::newRow("quoted, text after the quote is left")
        << QByteArray("\"ab\"cd") << true << QByteArray("ab") << 4LL;
    QTest::newRow("empty quotes") << QByteArray("\"\"\r\n") << true << QByteArray() << 4LL;
    QTest::newRow("quote inside an unquoted field")
        << QByteArray("a\"b,") << true << QByteArray("a\"b") << 4LL;
    QTest::newRow("longest field")
        << longest + ',' << true << longest << qint64(longest.size() + 1);
    QTest::newRow("unclosed quote") << QByteArray("\"1.05\r\n57") << false << QByteArray() << 0LL;
    QTest::newRow("too long") << longest + "x," << false << QByteArray() << 0LL;
    QTest::newRow("quoted too long") << '"' + longest + "x\"" << false << QByteArray() << 0LL;
}

// One table for both sources: the download reads the same rules from a file.
void TestFirmwareHeader::readField() {
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(QByteArray, value);
    QFETCH(qint64, consumed);

    const kestrel::TextField fromBytes = kestrel::readField(QByteArrayView(input));
    QCOMPARE(fromBytes.ok, ok);
    QCOMPARE(fromBytes.error.isEmpty(), ok);
    if (ok) {
        QCOMPARE(fromBytes.value, value);
        QCOMPARE(fromBytes.consumed, consumed);
    }

    QBuffer device(&input);
    QVERIFY(device.open(QIODevice::ReadOnly));
    const kestrel::TextField fromDevice = kestrel::readField(device);
    QCOMPARE(fromDevice.ok, ok);
    if (ok) {
        QCOMPARE(fromDevice.value, value);
        QCOMPARE(fromDevice.consumed, consumed);
        QCOMPARE(device.pos(), consumed);
    }
}

void TestFirmwareHeader::readFirmwareHeader_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("model");
    QTest::addColumn<qint64>("size");

    const QByteArray rest("\x01\x02\x03IMAGE", 8);
    QTest::newRow("CR LF lines") << "1.05\r\n57\r\n" + rest << Status::Complete << "1.05"
                                 << "57" << 10LL;
    QTest::newRow("one line") << "1.05,57\r\n" + rest << Status::Complete << "1.05"
                              << "57" << 9LL;
    QTest::newRow("LF lines") << "1.05\n57\n" + rest << Status::Complete << "1.05"
                              << "57" << 8LL;
    QTest::newRow("CR lines") << "1.05\r57\r" + rest << Status::Complete << "1.05"
                              << "57" << 8LL;
    QTest::newRow("quoted") << "\"1.05\",\"144\"\r\n" + rest << Status::Complete << "1.05"
                            << "144" << 14LL;
    QTest::newRow("nothing after field 2") << QByteArray("2\r\n57") << Status::Complete << "2"
                                           << "57" << 5LL;
    QTest::newRow("high bytes kept one to one")
        << QByteArray("\xe9.05,57\r\n") << Status::Complete << QString(QChar(0xe9)) + ".05"
        << "57" << 9LL;
    QTest::newRow("empty") << QByteArray() << Status::Empty << QString() << QString() << 0LL;
    QTest::newRow("revision and line end only")
        << QByteArray("1.05\r\n") << Status::EndsAfterRevision << "1.05" << QString() << 6LL;
    QTest::newRow("revision only")
        << QByteArray("1.05") << Status::EndsAfterRevision << "1.05" << QString() << 4LL;
    QTest::newRow("revision and comma")
        << QByteArray("1.05,") << Status::EndsAfterRevision << "1.05" << QString() << 5LL;
    QTest::newRow("revision unreadable")
        << QByteArray("\"1.05\r\n57\r\n") << Status::RevisionUnreadable << QString() << QString()
        << 0LL;
    QTest::newRow("model unreadable")
        << QByteArray("1.05\r\n\"57\r\n") << Status::ModelUnreadable << "1.05" << QString() << 6LL;
}

void TestFirmwareHeader::readFirmwareHeader() {
    QFETCH(QByteArray, input);
    QFETCH(Status, status);
    QFETCH(QString, revision);
    QFETCH(QString, model);
    QFETCH(qint64, size);

    QBuffer device(&input);
    QVERIFY(device.open(QIODevice::ReadOnly));
    const FirmwareHeader fromDevice = kestrel::readFirmwareHeader(device);
    const FirmwareHeader fromBytes = kestrel::readFirmwareHeader(QByteArrayView(input));
    for (const FirmwareHeader& header : {fromDevice, fromBytes}) {
        QCOMPARE(header.status, status);
        QCOMPARE(header.revision, revision);
        QCOMPARE(header.model, model);
        QCOMPARE(header.size, size);
        const bool failed =
            status == Status::RevisionUnreadable || status == Status::ModelUnreadable;
        QCOMPARE(header.error.isEmpty(), !failed);
    }
}

// The download reads the header, skips three bytes and sends the rest.
void TestFirmwareHeader::headerLeavesFileAtTheUnusedBytes() {
    QByteArray file("  \"1.05\" , 57\r\n");
    const QByteArray image("\x00\x10\x20\r\n\x30", 6);
    file += QByteArray("abc") + image;
    QBuffer device(&file);
    QVERIFY(device.open(QIODevice::ReadOnly));

    const FirmwareHeader header = kestrel::readFirmwareHeader(device);
    QCOMPARE(header.status, Status::Complete);
    QCOMPARE(header.model, QStringLiteral("57"));
    QCOMPARE(header.size, 15);
    QCOMPARE(device.pos(), header.size);
    QCOMPARE(device.read(3), QByteArray("abc"));
    QCOMPARE(device.readAll(), image);
    QCOMPARE(kestrel::readFirmwareHeader(QByteArrayView(file)).size, header.size);
}

void TestFirmwareHeader::deviceFailureIsReported_data() {
    QTest::addColumn<QByteArray>("good");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QString>("revision");

    QTest::newRow("before field 1") << QByteArray() << Status::RevisionUnreadable << QString();
    QTest::newRow("inside field 1") << QByteArray("1.0") << Status::RevisionUnreadable << QString();
    QTest::newRow("before field 2") << QByteArray("1.05\r\n") << Status::ModelUnreadable << "1.05";
    QTest::newRow("inside field 2") << QByteArray("1.05\r\n5") << Status::ModelUnreadable << "1.05";
}

// A failing read is a failure, never an early end that would read as "empty".
void TestFirmwareHeader::deviceFailureIsReported() {
    QFETCH(QByteArray, good);
    QFETCH(Status, status);
    QFETCH(QString, revision);

    FailingDevice device(good);
    const FirmwareHeader header = kestrel::readFirmwareHeader(device);
    QCOMPARE(header.status, status);
    QCOMPARE(header.revision, revision);
    QVERIFY2(header.error.contains(QStringLiteral("the disk went away")), qPrintable(header.error));
}

void TestFirmwareHeader::revisionNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");

    QTest::newRow("1.05") << "1.05" << 105;
    QTest::newRow("2.10") << "2.10" << 210;
    QTest::newRow("9.99") << "9.99" << 999;
    QTest::newRow("0.07") << "0.07" << 7;
    QTest::newRow("2") << "2" << 2;
    QTest::newRow("2.") << "2." << 2;
    QTest::newRow("1.5") << "1.5" << 15;
    QTest::newRow("only three characters used") << "1.05b7" << 105;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "x.yz" << 0;
    QTest::newRow("a letter among the digits") << "1.x5" << 0;
    QTest::newRow("sign") << "-1.0" << 0;
    QTest::newRow("leading space") << " 1.05" << 0;
}

void TestFirmwareHeader::revisionNumber() {
    QFETCH(QString, text);
    QFETCH(int, number);
    QCOMPARE(int(kestrel::revisionNumber(text)), number);
}

void TestFirmwareHeader::modelCode_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");

    QTest::newRow("57") << "57" << 57;
    QTest::newRow("144") << "144" << 144;
    QTest::newRow("leading zeros") << "00057" << 57;
    QTest::newRow("text after the number") << "57abc" << 57;
    QTest::newRow("decimal point") << "5.7" << 5;
    QTest::newRow("trailing space") << "57 " << 57;
    QTest::newRow("largest") << "32767" << 32767;
    QTest::newRow("too large") << "32768" << 0;
    QTest::newRow("far too large") << "9999999999999999999999" << 0;
    QTest::newRow("zeros then too large") << "000000032768" << 0;
    QTest::newRow("not a number") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("minus") << "-5" << 0;
    QTest::newRow("plus") << "+5" << 0;
}

void TestFirmwareHeader::modelCode() {
    QFETCH(QString, text);
    QFETCH(int, code);
    QCOMPARE(int(kestrel::modelCode(text)), code);
}

void TestFirmwareHeader::fileModelCaption_data() {
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QString>("caption");

    QTest::newRow("QN-G") << QList<int>{11, 12, 13, 14} << "QN-G";
    QTest::newRow("KX-D1 or D2") << QList<int>{20, 21, 26, 27} << "KX-D1 or D2";
    QTest::newRow("QN-A") << QList<int>{22, 23, 24, 25, 28, 29} << "QN-A";
    QTest::newRow("QN-J DC") << QList<int>{31, 32, 34, 35, 39, 40} << "QN-J DC";
    QTest::newRow("QN-J AC") << QList<int>{36, 37, 38} << "QN-J AC";
    QTest::newRow("QN-B") << QList<int>{41, 42, 43, 47} << "QN-B";
    QTest::newRow("QN-B-H") << QList<int>{44, 45, 46, 48} << "QN-B-H";
    QTest::newRow("KX-M3") << QList<int>{49, 50, 54} << "KX-M3";
    QTest::newRow("KX-M4") << QList<int>{51, 52, 53} << "KX-M4";
    QTest::newRow("KX-M1") << QList<int>{55, 56, 57} << "KX-M1";
    QTest::newRow("QN-E") << QList<int>{79, 80, 81, 82, 83} << "QN-E";
    QTest::newRow("QN-E-H") << QList<int>{85, 86, 87, 88, 89} << "QN-E-H";
    QTest::newRow("QN-F") << QList<int>{129, 130} << "QN-F";
    QList<int> unknown{0, -1, 1, 10, 30, 33, 84, 131, 144, 145, 146, 32767, -32768};
    for (int gap = 15; gap <= 19; ++gap) {
        unknown << gap;
    }
    for (int gap = 58; gap <= 78; ++gap) {
        unknown << gap;
    }
    for (int gap = 90; gap <= 128; ++gap) {
        unknown << gap;
    }
    QTest::newRow("Unknown") << unknown << "Unknown";
}

void TestFirmwareHeader::fileModelCaption() {
    QFETCH(QList<int>, codes);
    QFETCH(QString, caption);
    for (int code : codes) {
        QVERIFY2(kestrel::fileModelCaption(code) == caption, qPrintable(QString::number(code)));
    }
}

QTEST_APPLESS_MAIN(TestFirmwareHeader)
#include "test_firmwareheader.moc"
