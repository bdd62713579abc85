// The window's widget tree as built once at start-up: names, texts, sizes, icons, tab order.

#include "testsettings.h"
#include "window_access.h"

#include <QBoxLayout>
#include <QTest>

namespace {
QList<PortListing> g_ports;
} // namespace

class WindowLayoutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void widgetTable_data();
    void widgetTable();
    void cardsHaveTitlesAndBodies();
    void portLabelsAndData();
    void paintedIcons();
    void tabOrder();

private:
    static QWidget *widget(DialogTestAccess &w, const QString &name);
};

void WindowLayoutTest::initTestCase()
{
    usePrivateSettingsFolder();
    g_ports = {{QStringLiteral("ttyUSB0"), QStringLiteral("CP2102 USB to UART")},
               {QStringLiteral("ttyS0"), QString()}};
    Dialog::setPortEnumerator([] { return g_ports; });
}

QWidget *WindowLayoutTest::widget(DialogTestAccess &w, const QString &name)
{
    const QHash<QString, QWidget *> widgets = {
        {QStringLiteral("connect"), w.connectButton()},
        {QStringLiteral("browse"), w.browseButton()},
        {QStringLiteral("start"), w.startButton()},
        {QStringLiteral("save"), w.saveButton()},
        {QStringLiteral("copy"), w.copyButton()},
        {QStringLiteral("clear"), w.clearButton()},
        {QStringLiteral("history"), w.historyButton()},
        {QStringLiteral("send"), w.sendButton()},
        {QStringLiteral("path"), w.pathField()},
        {QStringLiteral("command"), w.commandField()},
        {QStringLiteral("log"), w.logView()},
    };
    return widgets.value(name);
}

void WindowLayoutTest::widgetTable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QSize>("fixedSize");

    // A fixed size of -1 in one direction means that direction is not fixed.
    QTest::newRow("connect button: 连接, 110 x 30") << "connect"
                                                    << "connectButton"
                                                    << "连接"
                                                    << "连接到选定串口" << QSize(110, 30);
    QTest::newRow("browse button: 浏览…, 110 x 30") << "browse"
                                                    << "browseButton"
                                                    << "浏览…"
                                                    << "选择固件文件（.bin）" << QSize(110, 30);
    QTest::newRow("start button: 开始, 32 high") << "start"
                                                 << "startButton"
                                                 << "开始"
                                                 << "开始更新" << QSize(-1, 32);
    QTest::newRow("save button: 保存, 20 high") << "save"
                                                << "logFooterButton"
                                                << "保存"
                                                << "保存日志到文本文件（Ctrl+S）" << QSize(-1, 20);
    QTest::newRow("copy button: 复制, 20 high") << "copy"
                                                << "logFooterButton"
                                                << "复制"
                                                << "复制日志到剪贴板" << QSize(-1, 20);
    QTest::newRow("clear button: 清空, 20 high") << "clear"
                                                 << "logFooterButton"
                                                 << "清空"
                                                 << "清空日志" << QSize(-1, 20);
    QTest::newRow("history button: no text, 30 x 30") << "history"
                                                      << "historyButton"
                                                      << ""
                                                      << "历史记录" << QSize(30, 30);
    QTest::newRow("send button: 发送, 72 x 30") << "send"
                                                << "sendButton"
                                                << "发送"
                                                << "发送（回车）" << QSize(72, 30);
    QTest::newRow("path field: drop hint, 30 high") << "path"
                                                    << ""
                                                    << "将 .bin 固件文件拖放到此处"
                                                    << "" << QSize(-1, 30);
    QTest::newRow("command field: *IDN? hint, 30 high") << "command"
                                                        << "cmdEdit"
                                                        << "输入命令，例如 *IDN?"
                                                        << "" << QSize(-1, 30);
    QTest::newRow("log view: placeholder") << "log"
                                           << "logWidget"
                                           << "日志输出将显示在这里。"
                                           << "" << QSize(-1, -1);
}

void WindowLayoutTest::widgetTable()
{
    QFETCH(QString, name);
    QFETCH(QString, objectName);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QSize, fixedSize);

    Dialog dialog;
    DialogTestAccess w(dialog);
    QWidget *target = widget(w, name);
    QVERIFY(target);
    QCOMPARE(target->objectName(), objectName);
    QCOMPARE(target->toolTip(), toolTip);
    if (auto *button = qobject_cast<QPushButton *>(target))
        QCOMPARE(button->text(), text);
    else if (auto *field = qobject_cast<QLineEdit *>(target))
        QCOMPARE(field->placeholderText(), text);
    else if (auto *view = qobject_cast<QTextEdit *>(target))
        QCOMPARE(view->placeholderText(), text);
    if (fixedSize.width() >= 0) {
        QCOMPARE(target->minimumWidth(), fixedSize.width());
        QCOMPARE(target->maximumWidth(), fixedSize.width());
    }
    if (fixedSize.height() >= 0) {
        QCOMPARE(target->minimumHeight(), fixedSize.height());
        QCOMPARE(target->maximumHeight(), fixedSize.height());
    }
}

void WindowLayoutTest::cardsHaveTitlesAndBodies()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    const QList<QPair<QFrame *, QString>> cards = {{w.serialCard(), QStringLiteral("串口")},
                                                   {w.firmwareCard(), QStringLiteral("固件更新")},
                                                   {w.logCard(), QStringLiteral("日志与命令")}};
    for (const auto &[card, title] : cards) {
        QCOMPARE(card->objectName(), QStringLiteral("card"));
        auto *label = card->findChild<QLabel *>(QStringLiteral("cardTitle"));
        QVERIFY(label);
        QCOMPARE(label->text(), title);
        QCOMPARE(label->parentWidget()->minimumHeight(), 30);
        QCOMPARE(label->parentWidget()->maximumHeight(), 30);
        auto *body = card->findChild<QWidget *>(QStringLiteral("cardBody"));
        QVERIFY(body);
        QCOMPARE(body->layout()->contentsMargins(), QMargins(10, 0, 10, 10));
        QCOMPARE(body->layout()->spacing(), 6);
    }
    // The log card takes the spare height; the other rows keep theirs.
    auto *windowBox = qobject_cast<QBoxLayout *>(dialog.layout());
    QVERIFY(windowBox);
    QCOMPARE(windowBox->contentsMargins(), QMargins(10, 10, 10, 10));
    QCOMPARE(windowBox->spacing(), 10);
    QCOMPARE(windowBox->count(), 4);
    QCOMPARE(windowBox->stretch(0), 0);
    QCOMPARE(windowBox->stretch(1), 0);
    QCOMPARE(windowBox->stretch(2), 1);
    QCOMPARE(windowBox->itemAt(3)->widget(), w.statusBar());

    QVERIFY(w.logView()->isReadOnly());
    QCOMPARE(w.logView()->lineWrapMode(), QTextEdit::NoWrap);
    QCOMPARE(w.logView()->document()->documentMargin(), 0.0);
    QCOMPARE(w.logToast()->parentWidget(), w.logPanel());
    QVERIFY(w.logToast()->testAttribute(Qt::WA_TransparentForMouseEvents));
    QCOMPARE(w.statusLabel()->objectName(), QStringLiteral("statusLabel"));
    QCOMPARE(w.baudLabel()->objectName(), QStringLiteral("baudInfoLabel"));
    QVERIFY(!w.statusBar()->isSizeGripEnabled());
    QVERIFY(!w.progressBar()->isTextVisible());
    QCOMPARE(w.progressBar()->maximumHeight(), 32);
}

void WindowLayoutTest::portLabelsAndData()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QCOMPARE(w.portSelector()->count(), 2);
    QCOMPARE(w.portSelector()->itemText(0), QStringLiteral("ttyUSB0 (CP2102 USB to UART)"));
    QCOMPARE(w.portSelector()->itemData(0, Qt::UserRole).toString(), QStringLiteral("ttyUSB0"));
    QCOMPARE(w.portSelector()->itemText(1), QStringLiteral("ttyS0"));
    QCOMPARE(w.portSelector()->itemData(1, Qt::UserRole).toString(), QStringLiteral("ttyS0"));
    QCOMPARE(w.portSelector()->maximumHeight(), 30);
}

void WindowLayoutTest::paintedIcons()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    QCOMPARE(w.browseButton()->iconSize(), QSize(16, 14));
    QCOMPARE(w.historyButton()->iconSize(), QSize(14, 14));

    // The folder is gold, the clock is drawn in the secondary text colour.
    const QImage folder = w.browseButton()->icon().pixmap(QSize(18, 14), 2.0).toImage();
    QCOMPARE(folder.size(), QSize(36, 28));
    QCOMPARE(folder.pixelColor(18, 18), QColor(QStringLiteral("#FFE9A9")));
    const QImage clock = w.historyButton()->icon().pixmap(QSize(14, 14), 2.0).toImage();
    QCOMPARE(clock.size(), QSize(28, 28));
    QCOMPARE(clock.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(clock.pixelColor(14, 11).rgb(), QColor(QStringLiteral("#5b6b80")).rgb());
}

void WindowLayoutTest::tabOrder()
{
    Dialog dialog;
    DialogTestAccess w(dialog);
    w.setState(Dialog::Connected);
    w.pathField()->setText(QStringLiteral("/tmp/app.bin"));
    w.refresh();
    const QList<QWidget *> order = {w.portSelector(),  w.connectButton(), w.pathField(),
                                    w.browseButton(),  w.startButton(),   w.commandField(),
                                    w.historyButton(), w.sendButton()};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget *next = order[i]->nextInFocusChain();
        // Skip widgets that never take focus from the keyboard.
        while (!(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QVERIFY2(next == order[i + 1], qPrintable(QString::number(i)));
    }
}

QTEST_MAIN(WindowLayoutTest)
#include "tst_window_layout.moc"
