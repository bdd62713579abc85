#include "device/versionrule.h"

#include <QtTest>

// The start-command choice and the decoding of device replies, without a port.
class TstVersionRule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startCommand_data();
    void startCommand();
    void identificationText_data();
    void identificationText();
    void consoleText_data();
    void consoleText();
    void commandLine_data();
    void commandLine();
};

void TstVersionRule::startCommand_data()
{
    QTest::addColumn<QString>("identification");
    QTest::addColumn<bool>("firmwareUpdate");

    QTest::newRow("a reply ending in 1.0.38 gets *FWUPD")
        << QStringLiteral("Orvane,TM-1,SN42,1.0.38") << true;
    QTest::newRow("a reply ending in 1.0.37 gets the legacy bytes")
        << QStringLiteral("Orvane,TM-1,SN42,1.0.37") << false;
    QTest::newRow("1.0.100 compares as a number, not as text") << QStringLiteral("1.0.100") << true;
    QTest::newRow("2.3.4 gets the legacy bytes because the first number is ignored")
        << QStringLiteral("2.3.4") << false;
    QTest::newRow("four numbers 1.1.0.0 get *FWUPD") << QStringLiteral("1.1.0.0") << true;
    QTest::newRow("four numbers 3.0.50.1 get the legacy bytes")
        << QStringLiteral("3.0.50.1") << false;
    QTest::newRow("the first match decides: 1.2.3 before a comma beats a later 1.0.40")
        << QStringLiteral("X,1.2.3,1.0.40") << false;
    QTest::newRow("a version followed by a comma counts") << QStringLiteral("X,1.0.40,SN7") << true;
    QTest::newRow("1.0.40-beta at the end does not match at all")
        << QStringLiteral("Orvane,1.0.40-beta") << false;
    QTest::newRow("a version that ends the first of two lines does not match")
        << QStringLiteral("Orvane,1.0.40\r\nready") << false;
    QTest::newRow("a version before a single final line feed still matches")
        << QStringLiteral("Orvane,1.0.40\n") << true;
    QTest::newRow("a version before a final CR LF does not match")
        << QStringLiteral("Orvane,1.0.40\r\n") << false;
    QTest::newRow("an empty text (silence) gets the legacy bytes") << QString() << false;
    QTest::newRow("text without any version gets the legacy bytes")
        << QStringLiteral("Orvane TM-1") << false;
    QTest::newRow("two dotted numbers are no version") << QStringLiteral("1.40") << false;
    QTest::newRow("a third number too large for 32 bits reads as 0")
        << QStringLiteral("1.0.99999999999") << false;
    QTest::newRow("a second number too large for 32 bits reads as 0 in four numbers")
        << QStringLiteral("1.99999999999.0.0") << false;
    QTest::newRow("a huge first number is never looked at")
        << QStringLiteral("99999999999.0.38") << true;
}

void TstVersionRule::startCommand()
{
    QFETCH(QString, identification);
    QFETCH(bool, firmwareUpdate);
    const QByteArray expected =
        firmwareUpdate ? QByteArray("*FWUPD\r\n") : QByteArray::fromHex("5D0C2F7A19E4");
    QCOMPARE(VersionRule::startCommandFor(identification), expected);
}

void TstVersionRule::identificationText_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<QString>("text");

    QTest::newRow("a reply is trimmed of white space at both ends")
        << QByteArray(" \tOrvane,1.0.38\r\n") << false << QStringLiteral("Orvane,1.0.38");
    QTest::newRow("a reply cut by the overall limit counts as none")
        << QByteArray("Orvane,1.0.38\r\n") << true << QString();
    QTest::newRow("only white space is no reply") << QByteArray(" \r\n\t ") << false << QString();
    QTest::newRow("silence is no reply") << QByteArray() << false << QString();
    QTest::newRow("UTF-8 is decoded as such")
        << QByteArray("设备 1.0.38") << false << QStringLiteral("设备 1.0.38");
}

void TstVersionRule::identificationText()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, timedOut);
    QFETCH(QString, text);
    QCOMPARE(DeviceReply::identificationText(reply, timedOut), text);
}

void TstVersionRule::consoleText_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");

    QTest::newRow("CR LF around two letters leave just the letters")
        << QByteArray("\r\nOK\r\n") << QStringLiteral("OK");
    QTest::newRow("spaces and tabs at the ends are kept")
        << QByteArray(" OK\t\r\n") << QStringLiteral(" OK\t");
    QTest::newRow("the line break between two lines is kept")
        << QByteArray("one\r\ntwo\r\n") << QStringLiteral("one\r\ntwo");
    QTest::newRow("only line breaks give an empty text") << QByteArray("\r\n\n\r") << QString();
    QTest::newRow("nothing gives an empty text") << QByteArray() << QString();
    QTest::newRow("valid UTF-8 stays UTF-8")
        << QByteArray("温度 25℃\r\n") << QStringLiteral("温度 25℃");
    QTest::newRow("a byte that is not UTF-8 gives the Latin-1 reading of everything")
        << QByteArray("\r\nA\xff\xe9z\r\n") << QString::fromLatin1("A\xff\xe9z");
    QTest::newRow("a UTF-8 sequence cut short gives the Latin-1 reading")
        << QByteArray("ab\xe6\xb8") << QString::fromLatin1("ab\xe6\xb8");
}

void TstVersionRule::consoleText()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QCOMPARE(DeviceReply::consoleText(reply), text);
}

void TstVersionRule::commandLine_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("*IDN? becomes its seven bytes with CR LF")
        << QStringLiteral("*IDN?") << QByteArray("*IDN?\r\n");
    QTest::newRow("a command that ends with CR LF is sent unchanged")
        << QStringLiteral("*RST\r\n") << QByteArray("*RST\r\n");
    QTest::newRow("a bare line feed still gets CR LF appended")
        << QStringLiteral("*RST\n") << QByteArray("*RST\n\r\n");
    QTest::newRow("a bare carriage return still gets CR LF appended")
        << QStringLiteral("*RST\r") << QByteArray("*RST\r\r\n");
    QTest::newRow("non-ASCII text is encoded as UTF-8")
        << QStringLiteral("名字?") << QByteArray("名字?\r\n");
    QTest::newRow("an empty command is a bare CR LF") << QString() << QByteArray("\r\n");
}

void TstVersionRule::commandLine()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, line);
    QCOMPARE(DeviceReply::commandLine(command), line);
}

QTEST_APPLESS_MAIN(TstVersionRule)
#include "tst_versionrule.moc"
