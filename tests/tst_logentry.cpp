// Rules of the log panel that need no widget: markup, colours, trimming, file bytes, toast size.

#include "app/dialog.h"
#include "console/logentry.h"

#include <QTest>

using namespace LogPanel;

class TestLogEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void messageIsEscapedAndKeepsItsLineBreaks_data();
    void messageIsEscapedAndKeepsItsLineBreaks();
    void entryMarkupIsTheFixedTemplate_data();
    void entryMarkupIsTheFixedTemplate();
    void levelsHaveTheirColours_data();
    void levelsHaveTheirColours();
    void trimKeepsTheNewestParagraphs_data();
    void trimKeepsTheNewestParagraphs();
    void savedBytesAreUtf8WithBomAndCrLf_data();
    void savedBytesAreUtf8WithBomAndCrLf();
    void toastWidthIsCappedAndPadded_data();
    void toastWidthIsCappedAndPadded();
};

void TestLogEntry::messageIsEscapedAndKeepsItsLineBreaks_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("a<b, CR LF and c become literal a<b, a break and c")
        << QStringLiteral("a<b\r\nc") << QStringLiteral("a&lt;b<br>c");
    QTest::newRow("a lone CR is a line break too")
        << QStringLiteral("x\ry") << QStringLiteral("x<br>y");
    QTest::newRow("CR CR LF is two breaks, not three")
        << QStringLiteral("x\r\r\ny") << QStringLiteral("x<br><br>y");
    QTest::newRow("ampersand, quote and greater-than are entities")
        << QStringLiteral("a & \"b\" > c") << QStringLiteral("a &amp; &quot;b&quot; &gt; c");
    QTest::newRow("a placeholder in the text is plain text")
        << QStringLiteral("%1 done 100%") << QStringLiteral("%1 done 100%");
}

void TestLogEntry::messageIsEscapedAndKeepsItsLineBreaks()
{
    QFETCH(QString, message);
    QFETCH(QString, escaped);
    QCOMPARE(escapeMessage(message), escaped);
}

void TestLogEntry::entryMarkupIsTheFixedTemplate_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("html");
    const QString prefix = QStringLiteral("<span style=\"color:#64748b\">[12:34:56]</span>&nbsp;");
    QTest::newRow("an info line is plain slate")
        << QStringLiteral("hello") << int(Dialog::Info)
        << prefix + "<span style=\"color:#cbd5e1;white-space:pre-wrap;\">hello</span>";
    QTest::newRow("an error line is bold red")
        << QStringLiteral("bad") << int(Dialog::Error)
        << prefix +
               "<span style=\"color:#fca5a5;font-weight:bold;white-space:pre-wrap;\">bad</span>";
    QTest::newRow("placeholders %1 to %5 in the message stay literal")
        << QStringLiteral("%1 %2 %3 %4 %5") << int(Dialog::Response)
        << prefix + "<span style=\"color:#86efac;white-space:pre-wrap;\">%1 %2 %3 %4 %5</span>";
    QTest::newRow("markup in the message is escaped, its line break kept")
        << QStringLiteral("a<b\r\nc") << int(Dialog::Command)
        << prefix + "<span style=\"color:#93c5fd;white-space:pre-wrap;\">a&lt;b<br>c</span>";
}

void TestLogEntry::entryMarkupIsTheFixedTemplate()
{
    QFETCH(QString, message);
    QFETCH(int, level);
    QFETCH(QString, html);
    QCOMPARE(entryHtml(QStringLiteral("12:34:56"), message, level), html);
}

void TestLogEntry::levelsHaveTheirColours_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<bool>("bold");
    QTest::newRow("info is slate") << int(Dialog::Info) << "#cbd5e1" << false;
    QTest::newRow("a command is blue") << int(Dialog::Command) << "#93c5fd" << false;
    QTest::newRow("a response is green") << int(Dialog::Response) << "#86efac" << false;
    QTest::newRow("an error is red and bold") << int(Dialog::Error) << "#fca5a5" << true;
    QTest::newRow("success shares the response green")
        << int(Dialog::Success) << "#86efac" << false;
    QTest::newRow("an unknown level looks like info") << 7 << "#cbd5e1" << false;
    QTest::newRow("a negative level looks like info") << -1 << "#cbd5e1" << false;
}

void TestLogEntry::levelsHaveTheirColours()
{
    QFETCH(int, level);
    QFETCH(QString, colour);
    QFETCH(bool, bold);
    QCOMPARE(levelColor(level), colour);
    QCOMPARE(levelIsBold(level), bold);
    QVERIFY(entryHtml(QStringLiteral("00:00:00"), QStringLiteral("m"), level)
                .contains(QStringLiteral("color:") + colour + ';'));
}

void TestLogEntry::trimKeepsTheNewestParagraphs_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("removed");
    QTest::newRow("an empty log loses nothing") << 0 << 0;
    QTest::newRow("5000 paragraphs are all kept") << 5000 << 0;
    QTest::newRow("the 5001st paragraph pushes out one") << 5001 << 1;
    QTest::newRow("a larger excess is removed at once") << 5100 << 100;
}

void TestLogEntry::trimKeepsTheNewestParagraphs()
{
    QFETCH(int, count);
    QFETCH(int, removed);
    QCOMPARE(paragraphsToTrim(count), removed);
}

void TestLogEntry::savedBytesAreUtf8WithBomAndCrLf_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("an empty log is only the byte-order mark")
        << QString() << QByteArray("\xEF\xBB\xBF");
    QTest::newRow("two entries are joined by CR LF with nothing after the last")
        << QStringLiteral("[10:00:00] a\n[10:00:01] b")
        << QByteArray("\xEF\xBB\xBF[10:00:00] a\r\n[10:00:01] b");
    QTest::newRow("existing CR LF is not doubled") << QStringLiteral("a\r\nb\n")
                                                   << QByteArray("\xEF\xBB\xBF"
                                                                 "a\r\nb\r\n");
    QTest::newRow("Chinese text is UTF-8")
        << QStringLiteral("已连接")
        << QByteArray("\xEF\xBB\xBF\xE5\xB7\xB2\xE8\xBF\x9E\xE6\x8E\xA5");
}

void TestLogEntry::savedBytesAreUtf8WithBomAndCrLf()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(logFileBytes(text), bytes);
}

void TestLogEntry::toastWidthIsCappedAndPadded_data()
{
    QTest::addColumn<int>("textWidth");
    QTest::addColumn<QSize>("size");
    QTest::newRow("a short text gets 26 px of padding") << 100 << QSize(126, 22);
    QTest::newRow("a text of exactly 254 px is not cut") << 254 << QSize(280, 22);
    QTest::newRow("a longer text is capped at 254 px") << 900 << QSize(280, 22);
}

void TestLogEntry::toastWidthIsCappedAndPadded()
{
    QFETCH(int, textWidth);
    QFETCH(QSize, size);
    QCOMPARE(toastSize(textWidth), size);
}

QTEST_APPLESS_MAIN(TestLogEntry)
#include "tst_logentry.moc"
