// The bytes of a saved log, for texts the window does not produce itself. The markup, trimming,
// colours and the toast are checked on a real window in tst_logpanel.

#include "console/logentry.h"

#include <QTest>

using namespace Qt::StringLiterals;

using namespace LogPanel;

class TestLogEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void savedBytesAreUtf8WithBomAndCrLf_data();
    void savedBytesAreUtf8WithBomAndCrLf();
};

void TestLogEntry::savedBytesAreUtf8WithBomAndCrLf_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray bom("\xEF\xBB\xBF");
    QTest::newRow("an empty log is only the byte-order mark") << QString() << bom;
    QTest::newRow("existing CR LF is not doubled, a trailing LF becomes CR LF")
        << u"a\r\nb\n"_s << bom + "a\r\nb\r\n";
}

void TestLogEntry::savedBytesAreUtf8WithBomAndCrLf()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(logFileBytes(text), bytes);
}

QTEST_APPLESS_MAIN(TestLogEntry)
#include "tst_logentry.moc"
