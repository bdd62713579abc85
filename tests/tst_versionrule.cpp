#include "device/versionrule.h"

#include <QtTest>

// The start-command choice and the decoding of device replies, without a port. The common
// version replies are checked end to end in tst_handshake; these are the corner cases.
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
    QTest::newRow("1.0.100 compares as a number, not as text") << "1.0.100" << true;
    QTest::newRow("four numbers: 1.1.0.0 chooses *FWUPD by its second") << "TM-1,1.1.0.0" << true;
    QTest::newRow("four numbers: 3.0.50.1 chooses the legacy bytes") << "TM-1,3.0.50.1" << false;
    QTest::newRow("the first match 1.2.3 outranks a later 1.0.40") << "TM-1,1.2.3,1.0.40" << false;
    QTest::newRow("1.0.40-beta chooses the legacy bytes") << "TM-1,1.0.40-beta" << false;
    QTest::newRow("a two-line reply chooses the legacy bytes") << "TM-1,1.0.40\r\nready" << false;
    QTest::newRow("a version before a single final line feed still matches") << "Orvane,1.0.40\n"
                                                                             << true;
    QTest::newRow("a version before a final CR LF does not match") << "Orvane,1.0.40\r\n" << false;
    QTest::newRow("text without any version gets the legacy bytes") << "Orvane TM-1" << false;
    QTest::newRow("a third number too large for 32 bits reads as 0") << "1.0.99999999999" << false;
    QTest::newRow("a huge first number is never looked at") << "99999999999.0.38" << true;
}

void TstVersionRule::startCommand()
{
    QFETCH(QString, identification);
    QFETCH(bool, firmwareUpdate);
    QCOMPARE(VersionRule::startCommandFor(identification),
             firmwareUpdate ? QByteArray("*FWUPD\r\n") : QByteArray::fromHex("5D0C2F7A19E4"));
}

void TstVersionRule::identificationText_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<QString>("text");
    QTest::newRow("a reply is trimmed of white space at both ends")
        << QByteArray(" \tOrvane,1.0.38\r\n") << false << "Orvane,1.0.38";
    QTest::newRow("a reply cut by the overall limit counts as none")
        << QByteArray("Orvane,1.0.38\r\n") << true << QString();
    QTest::newRow("UTF-8 is decoded as such")
        << QByteArray("设备 1.0.38") << false << "设备 1.0.38";
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
    QTest::newRow("spaces and tabs at the ends are kept") << QByteArray(" OK\t\r\n") << " OK\t";
    QTest::newRow("the line break between two lines is kept")
        << QByteArray("\r\none\r\ntwo\r\n") << "one\r\ntwo";
    QTest::newRow("valid UTF-8 stays UTF-8") << QByteArray("温度 25℃\r\n") << "温度 25℃";
    QTest::newRow("a byte that is not UTF-8 gives the Latin-1 reading of everything")
        << QByteArray("\r\nA\xff\xe9z\r\n") << QString::fromLatin1("A\xff\xe9z");
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
    QTest::newRow("a command gets CR LF appended") << "*RST" << QByteArray("*RST\r\n");
    QTest::newRow("a command that ends with CR LF is sent unchanged") << "*RST\r\n"
                                                                      << QByteArray("*RST\r\n");
    QTest::newRow("a bare line feed still gets CR LF appended") << "*RST\n"
                                                                << QByteArray("*RST\n\r\n");
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
