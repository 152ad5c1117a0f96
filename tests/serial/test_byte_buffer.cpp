// The byte-buffer helpers: the three states a buffer can be in, appending and
// conversion to text.
#include <QtTest>

#include "serial/ByteBuffer.h"

using namespace kestrel;

class ByteBufferTest : public QObject {
    Q_OBJECT
  private slots:
    void boundsAndEmptiness_data();
    void boundsAndEmptiness();
    void appendGrowsFromIndexZero();
    void appendWithCountZeroLeavesEvenAnUndimensionedBuffer();
    void appendTakesNoMoreThanTheSourceHolds();
    void toString_data();
    void toString();
};

void ByteBufferTest::boundsAndEmptiness_data() {
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("lower");
    QTest::addColumn<int>("upper");
    QTest::addColumn<bool>("empty");
    QTest::newRow("undimensioned") << QByteArray() << -1 << -1 << true;
    QTest::newRow("from an empty string") << QByteArray("") << 0 << -1 << true;
    QTest::newRow("one byte") << QByteArray(1, '\0') << 0 << 0 << false;
    QTest::newRow("five bytes") << QByteArray("ABCDE") << 0 << 4 << false;
}

void ByteBufferTest::boundsAndEmptiness() {
    QFETCH(QByteArray, buffer);
    QFETCH(int, lower);
    QFETCH(int, upper);
    QFETCH(bool, empty);
    QCOMPARE(ByteArrayLBound(buffer), lower);
    QCOMPARE(ByteArrayUBound(buffer), upper);
    QCOMPARE(IsByteArrayEmpty(buffer), empty);
}

void ByteBufferTest::appendGrowsFromIndexZero() {
    for (QByteArray destination : {QByteArray(), QByteArray("")}) {
        AppendBytes(destination, QByteArray("\x01\x02\x03", 3), 3);
        QCOMPARE(ByteArrayLBound(destination), 0);
        QCOMPARE(ByteArrayUBound(destination), 2);
        AppendBytes(destination, QByteArray("\xFE\xFF", 2), 2);
        QCOMPARE(ByteArrayUBound(destination), 4);
        QCOMPARE(destination, QByteArray("\x01\x02\x03\xFE\xFF", 5));
    }
}

void ByteBufferTest::appendWithCountZeroLeavesEvenAnUndimensionedBuffer() {
    QByteArray destination;
    AppendBytes(destination, QByteArray("xyz"), 0);
    QVERIFY(destination.isNull());
    QCOMPARE(ByteArrayLBound(destination), -1);
    AppendBytes(destination, QByteArray("xyz"), -4);
    QVERIFY(destination.isNull());
}

void ByteBufferTest::appendTakesNoMoreThanTheSourceHolds() {
    QByteArray destination("A");
    AppendBytes(destination, QByteArray("BC"), 10);
    QCOMPARE(destination, QByteArray("ABC"));
}

void ByteBufferTest::toString_data() {
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");
    QTest::newRow("undimensioned") << QByteArray() << 0 << 3 << QString();
    QTest::newRow("empty, count 0") << QByteArray("") << 0 << 0 << QString();
    QTest::newRow("A and CR") << QByteArray("A\r") << 0 << 2 << QStringLiteral("A\r");
    QTest::newRow("one byte from the middle") << QByteArray("ABC") << 1 << 1 << QStringLiteral("B");
    QTest::newRow("high bytes keep their codes")
        << QByteArray("\xF0\xFF", 2) << 0 << 2 << QString(QChar(0xF0)) + QChar(0xFF);
    QTest::newRow("NUL is a character")
        << QByteArray("\0A", 2) << 0 << 2 << QString(QChar(0)) + "A";
    QTest::newRow("range past the end reads only inside")
        << QByteArray("AB") << 1 << 5 << QStringLiteral("B");
    QTest::newRow("negative start reads only inside")
        << QByteArray("AB") << -1 << 2 << QStringLiteral("A");
    QTest::newRow("start beyond the end") << QByteArray("AB") << 7 << 2 << QString();
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
