// Rules of the command history that need no widget: adding, cap, browsing, menu, placement.

#include "console/history.h"

#include <QTest>

using namespace CommandHistory;

namespace {
QStringList numbered(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("cmd%1").arg(i);
    return list;
}
} // namespace

Q_DECLARE_METATYPE(CommandHistory::Direction)

class TestHistory : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sendingAddsAtTheFrontWithoutDuplicates_data();
    void sendingAddsAtTheFrontWithoutDuplicates();
    void storedHistoryIsCutToTwenty_data();
    void storedHistoryIsCutToTwenty();
    void arrowKeysBrowseWithinLimits_data();
    void arrowKeysBrowseWithinLimits();
    void longCommandsAreCutInTheMenu_data();
    void longCommandsAreCutInTheMenu();
    void menuListsTwelveCommandsThenHintAndClear_data();
    void menuListsTwelveCommandsThenHintAndClear();
    void menuStaysOnTheScreen_data();
    void menuStaysOnTheScreen();
};

void TestHistory::sendingAddsAtTheFrontWithoutDuplicates_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("the first command starts the history")
        << QStringList() << "*IDN?" << QStringList{"*IDN?"};
    QTest::newRow("sending *IDN? twice keeps one entry")
        << QStringList{"*IDN?"} << "*IDN?" << QStringList{"*IDN?"};
    QTest::newRow("a command that differs in case is a second entry")
        << QStringList{"*IDN?"} << "*idn?" << QStringList{"*idn?", "*IDN?"};
    QTest::newRow("an older command moves to the front")
        << QStringList{"a", "b", "c"} << "c" << QStringList{"c", "a", "b"};
    QTest::newRow("every equal loaded entry goes, not only the first")
        << QStringList{"a", "x", "a"} << "a" << QStringList{"a", "x"};
    QTest::newRow("a command of only spaces is kept as it is")
        << QStringList{"a"} << "   " << QStringList{"   ", "a"};
    QTest::newRow("the 21st distinct command pushes out the oldest")
        << numbered(20) << "new" << (QStringList{"new"} + numbered(19));
    QTest::newRow("re-sending an entry of a full history keeps all twenty")
        << numbered(20) << "cmd19" << (QStringList{"cmd19"} + numbered(19));
}

void TestHistory::sendingAddsAtTheFrontWithoutDuplicates()
{
    QFETCH(QStringList, before);
    QFETCH(QString, command);
    QFETCH(QStringList, after);
    QCOMPARE(pushed(before, command), after);
}

void TestHistory::storedHistoryIsCutToTwenty_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("loaded");
    QTest::newRow("25 stored entries are cut to their first 20") << numbered(25) << numbered(20);
    QTest::newRow("20 stored entries are kept") << numbered(20) << numbered(20);
    QTest::newRow("stored duplicates are not removed")
        << QStringList{"a", "a"} << QStringList{"a", "a"};
    QTest::newRow("nothing stored is an empty history") << QStringList() << QStringList();
}

void TestHistory::storedHistoryIsCutToTwenty()
{
    QFETCH(QStringList, stored);
    QFETCH(QStringList, loaded);
    QCOMPARE(capped(stored), loaded);
}

void TestHistory::arrowKeysBrowseWithinLimits_data()
{
    QTest::addColumn<QStringList>("history");
    QTest::addColumn<int>("index");
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<int>("newIndex");
    QTest::addColumn<QString>("text");
    const QStringList three{"new", "mid", "old"};
    QTest::newRow("up on an empty history does nothing")
        << QStringList() << -1 << Direction::Older << false << -1 << QString();
    QTest::newRow("up when not browsing shows the newest")
        << three << -1 << Direction::Older << true << 0 << "new";
    QTest::newRow("up goes one entry older")
        << three << 0 << Direction::Older << true << 1 << "mid";
    QTest::newRow("up at the oldest entry stays there")
        << three << 2 << Direction::Older << false << 2 << QString();
    QTest::newRow("down goes one entry newer")
        << three << 2 << Direction::Newer << true << 1 << "mid";
    QTest::newRow("down from the newest clears the field and ends browsing")
        << three << 0 << Direction::Newer << true << -1 << QString();
    QTest::newRow("down when not browsing does nothing")
        << three << -1 << Direction::Newer << false << -1 << QString();
    QTest::newRow("down on an emptied history does nothing")
        << QStringList() << -1 << Direction::Newer << false << -1 << QString();
    QTest::newRow("a position beyond a shrunken history counts as the oldest")
        << QStringList{"a", "b"} << 7 << Direction::Newer << true << 0 << "a";
}

void TestHistory::arrowKeysBrowseWithinLimits()
{
    QFETCH(QStringList, history);
    QFETCH(int, index);
    QFETCH(Direction, direction);
    QFETCH(bool, changed);
    QFETCH(int, newIndex);
    QFETCH(QString, text);
    const BrowseStep step = browse(history, index, direction);
    QCOMPARE(step.changed, changed);
    if (changed) {
        QCOMPARE(step.index, newIndex);
        QCOMPARE(step.text, text);
    }
}

void TestHistory::longCommandsAreCutInTheMenu_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("label");
    const QString forty(40, QLatin1Char('x'));
    QTest::newRow("a command of 40 characters is shown whole") << forty << forty;
    QTest::newRow("a command of 41 characters is cut to 40 and an ellipsis")
        << forty + "y" << forty + QChar(0x2026);
    QTest::newRow("Chinese characters count one each")
        << QString(41, QChar(0x547D)) << QString(40, QChar(0x547D)) + QChar(0x2026);
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
    QTest::newRow("a surrogate pair at the cut is not split")
        << QString(39, QLatin1Char('x')) + emoji + "z"
        << QString(39, QLatin1Char('x')) + QChar(0x2026);
}

void TestHistory::longCommandsAreCutInTheMenu()
{
    QFETCH(QString, command);
    QFETCH(QString, label);
    QCOMPARE(menuLabel(command), label);
}

void TestHistory::menuListsTwelveCommandsThenHintAndClear_data()
{
    QTest::addColumn<QStringList>("history");
    QTest::addColumn<QList<int>>("kinds");
    QList<int> twelve;
    for (int i = 0; i < 12; ++i)
        twelve << MenuItem::Command;
    QTest::newRow("no history shows only the empty note")
        << QStringList() << QList<int>{MenuItem::Empty};
    QTest::newRow("one entry, a separator and clear")
        << QStringList{"a"} << QList<int>{MenuItem::Command, MenuItem::Separator, MenuItem::Clear};
    QTest::newRow("twelve entries have no hint")
        << numbered(12) << (twelve + QList<int>{MenuItem::Separator, MenuItem::Clear});
    QTest::newRow("thirteen entries show twelve and the hint")
        << numbered(13)
        << (twelve + QList<int>{MenuItem::OlderHint, MenuItem::Separator, MenuItem::Clear});
}

void TestHistory::menuListsTwelveCommandsThenHintAndClear()
{
    QFETCH(QStringList, history);
    QFETCH(QList<int>, kinds);
    const QList<MenuItem> items = menuItems(history);
    QList<int> actual;
    for (const MenuItem &item : items)
        actual << item.kind;
    QCOMPARE(actual, kinds);
    for (int i = 0; i < items.size(); ++i) {
        if (items.at(i).kind == MenuItem::Command) {
            QCOMPARE(items.at(i).command, history.at(i)); // newest first
            QCOMPARE(items.at(i).label, menuLabel(history.at(i)));
        }
    }
}

void TestHistory::menuStaysOnTheScreen_data()
{
    QTest::addColumn<QPoint>("wanted");
    QTest::addColumn<int>("buttonTop");
    QTest::addColumn<QSize>("menuSize");
    QTest::addColumn<QPoint>("position");
    // Screen area x 0..1919, y 0..1039 (bottom edge exclusive at 1040).
    QTest::newRow("below the button when it fits")
        << QPoint(100, 500) << 470 << QSize(200, 300) << QPoint(100, 500);
    QTest::newRow("a menu ending exactly at the bottom edge stays below")
        << QPoint(100, 740) << 710 << QSize(200, 300) << QPoint(100, 740);
    QTest::newRow("above the button when it does not fit below")
        << QPoint(100, 900) << 870 << QSize(200, 300) << QPoint(100, 570);
    QTest::newRow("against the bottom edge when it fits neither below nor above")
        << QPoint(100, 330) << 300 << QSize(200, 800) << QPoint(100, 240);
    QTest::newRow("a menu taller than the screen keeps its top on the screen")
        << QPoint(100, 330) << 300 << QSize(200, 1200) << QPoint(100, 0);
    QTest::newRow("pushed left from the right edge")
        << QPoint(1800, 100) << 70 << QSize(200, 300) << QPoint(1720, 100);
    QTest::newRow("never left of the screen")
        << QPoint(-50, 100) << 70 << QSize(200, 300) << QPoint(0, 100);
}

void TestHistory::menuStaysOnTheScreen()
{
    QFETCH(QPoint, wanted);
    QFETCH(int, buttonTop);
    QFETCH(QSize, menuSize);
    QFETCH(QPoint, position);
    QCOMPARE(menuPosition(wanted, buttonTop, menuSize, QRect(0, 0, 1920, 1040)), position);
}

QTEST_APPLESS_MAIN(TestHistory)
#include "tst_history.moc"
