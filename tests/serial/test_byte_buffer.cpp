// The byte-buffer helpers at their edges: the undimensioned buffer against
// the empty one, counts outside the source, ranges outside the buffer.
#include <QtTest>

#include "serial/ByteBuffer.h"

using namespace kestrel;

class ByteBufferTest : public QObject {
    Q_OBJECT
  private slots:
    void append_data() {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("result");  // null: still undimensioned
        QTest::addColumn<int>("upper");
        QTest::newRow("undimensioned, count -4")
            << QByteArray() << QByteArray("xyz") << -4 << QByteArray() << -1;
        QTest::newRow("empty, count 0")
            << QByteArray("") << QByteArray("xyz") << 0 << QByteArray("") << -1;
        QTest::newRow("undimensioned grows")
            << QByteArray() << QByteArray("\x01\xFF", 2) << 2 << QByteArray("\x01\xFF", 2) << 1;
        QTest::newRow("count past the source")
            << QByteArray("A") << QByteArray("BC") << 10 << QByteArray("ABC") << 2;
    }
    void append() {
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

    void toString() {
        QCOMPARE(BytesToString(QByteArray(), 0, 3), QString());
        QCOMPARE(BytesToString(QByteArray("\0\r\xF0\xFF", 4), 0, 4),  // codes kept one to one
                 QString(QChar(0)) + "\r" + QChar(0xF0) + QChar(0xFF));
        QCOMPARE(BytesToString("ABC", 1, 5), QStringLiteral("BC"));
        QCOMPARE(BytesToString("AB", -1, 2), QStringLiteral("A"));
        QCOMPARE(BytesToString("AB", 2, 2), QString());
    }
};

QTEST_APPLESS_MAIN(ByteBufferTest)
#include "test_byte_buffer.moc"
