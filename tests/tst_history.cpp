// Rules of the command history that need no widget: adding, the cap, menu labels and placement.
// Duplicates, browsing, loading and the menu's lines are checked on a real window in
// tst_console.

#include "console/history.h"

#include <QTest>

using namespace Qt::StringLiterals;

using namespace CommandHistory;

namespace {
QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << u"cmd%1"_s.arg(i);
    return list;
}
} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sendingAddsAtTheFrontWithoutDuplicates_data();
    void sendingAddsAtTheFrontWithoutDuplicates();
    void longCommandsAreCutInTheMenu_data();
    void longCommandsAreCutInTheMenu();
    void menuStaysOnTheScreen_data();
    void menuStaysOnTheScreen();
};

void TestHistory::sendingAddsAtTheFrontWithoutDuplicates_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("every equal loaded entry goes, not only the first")
        << QStringList{"a", "x", "a"} << u"a"_s << QStringList{"a", "x"};
    QTest::newRow("the 21st distinct command pushes out the oldest")
        << numbered(20) << u"new"_s << (QStringList{"new"} + numbered(19));
    QTest::newRow("re-sending an entry of a full history keeps all twenty")
        << numbered(20) << u"cmd19"_s << (QStringList{"cmd19"} + numbered(19));
}

void TestHistory::sendingAddsAtTheFrontWithoutDuplicates()
{
    QFETCH(QStringList, before);
    QFETCH(QString, command);
    QFETCH(QStringList, after);
    QCOMPARE(pushed(before, command), after);
}

void TestHistory::longCommandsAreCutInTheMenu_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("label");
    QTest::newRow("Chinese characters count one each")
        << QString(41, QChar(0x547D)) << QString(40, QChar(0x547D)) + QChar(0x2026);
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
    QTest::newRow("a surrogate pair at the cut is not split")
        << QString(39, u'x') + emoji + "z" << QString(39, u'x') + QChar(0x2026);
}

void TestHistory::longCommandsAreCutInTheMenu()
{
    QFETCH(QString, command);
    QFETCH(QString, label);
    QCOMPARE(menuLabel(command), label);
}

void TestHistory::menuStaysOnTheScreen_data()
{
    QTest::addColumn<QPoint>("wanted");
    QTest::addColumn<QSize>("menuSize");
    QTest::addColumn<QPoint>("position");
    // Screen area x 0..1919, y 0..1039; the button's top is 30 px above the wanted point.
    QTest::newRow("a menu ending exactly at the bottom edge stays below the button")
        << QPoint(100, 740) << QSize(200, 300) << QPoint(100, 740);
    QTest::newRow("above the button when it does not fit below")
        << QPoint(100, 900) << QSize(200, 300) << QPoint(100, 570);
    QTest::newRow("against the bottom edge when it fits neither below nor above")
        << QPoint(100, 330) << QSize(200, 800) << QPoint(100, 240);
    QTest::newRow("pushed left from the right edge")
        << QPoint(1800, 100) << QSize(200, 300) << QPoint(1720, 100);
}

void TestHistory::menuStaysOnTheScreen()
{
    QFETCH(QPoint, wanted);
    QFETCH(QSize, menuSize);
    QFETCH(QPoint, position);
    QCOMPARE(menuPosition(wanted, wanted.y() - 30, menuSize, QRect(0, 0, 1920, 1040)), position);
}

QTEST_APPLESS_MAIN(TestHistory)
#include "tst_history.moc"
