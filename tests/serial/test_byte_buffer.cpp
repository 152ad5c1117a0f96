// The byte-buffer helpers: the undimensioned buffer against the empty one,
// appending and conversion to text at the edges of a buffer.
#include <QtTest>

#include "serial/ByteBuffer.h"

using namespace kestrel;

class ByteBufferTest : public QObject {
    Q_OBJECT
  private slots:
    void append_data();
    void append();
    void toString_data();
    void toString();
};

void ByteBufferTest::append_data() {
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("result");  // null: still undimensioned
    QTest::addColumn<int>("upper");
    const QByteArray undimensioned;
    QTest::newRow("undimensioned, count 0")
        << undimensioned << QByteArray("xyz") << 0 << undimensioned << -1;
    QTest::newRow("undimensioned, count -4")
        << undimensioned << QByteArray("xyz") << -4 << undimensioned << -1;
    QTest::newRow("empty, count 0")
        << QByteArray("") << QByteArray("xyz") << 0 << QByteArray("") << -1;
    QTest::newRow("undimensioned grows from 0") << undimensioned << QByteArray("\x01\xFE\xFF", 3)
                                                << 3 << QByteArray("\x01\xFE\xFF", 3) << 2;
    QTest::newRow("count past the source")
        << QByteArray("A") << QByteArray("BC") << 10 << QByteArray("ABC") << 2;
    QTest::newRow("count short of the source")
        << QByteArray("A") << QByteArray("BC") << 1 << QByteArray("AB") << 1;
}

void ByteBufferTest::append() {
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, source);
    QFETCH(int, count);
    QFETCH(QByteArray, result);
    QFETCH(int, upper);
    AppendBytes(buffer, source, count);
    QCOMPARE(buffer, result);
    QCOMPARE(buffer.isNull(), result.isNull());
    QCOMPARE(ByteArrayLBound(buffer), result.isNull() ? -1 : 0);
    QCOMPARE(ByteArrayUBound(buffer), upper);
    QCOMPARE(IsByteArrayEmpty(buffer), upper < 0);
}

void ByteBufferTest::toString_data() {
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");
    QTest::newRow("undimensioned") << QByteArray() << 0 << 3 << QString();
    QTest::newRow("count 0") << QByteArray("AB") << 0 << 0 << QString();
    QTest::newRow("NUL, CR and high bytes keep their codes")
        << QByteArray("\0\r\xF0\xFF", 4) << 0 << 4
        << QString(QChar(0)) + "\r" + QChar(0xF0) + QChar(0xFF);
    QTest::newRow("range past the end") << QByteArray("ABC") << 1 << 5 << QStringLiteral("BC");
    QTest::newRow("negative start") << QByteArray("AB") << -1 << 2 << QStringLiteral("A");
    QTest::newRow("start at the end") << QByteArray("AB") << 2 << 2 << QString();
}

void ByteBufferTest::toString() {
    QFETCH(QByteArray, buffer);
    QFETCH(int, start);
    QFETCH(int, count);
    QFETCH(QString, text);
    QCOMPARE(BytesToString(buffer, start, count), text);
}

QTEST_APPLESS_MAIN(ByteBufferTest)
#include "test_byte_buffer.moc"
