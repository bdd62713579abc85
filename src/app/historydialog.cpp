#include "app/historydialog.h"

#include "records/recordtablemodel.h"
#include "ui/theme.h"
#include "ui/widgets.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const char *const kTableRules[] = {
    "QTableView#historyTable { background-color: ${surface}; border: 1px solid ${cardBorder};"
    " border-radius: 4px; gridline-color: ${separator}; color: ${textMain};"
    " selection-background-color: ${fieldSelectionBg}; selection-color: ${textMain}; }",
    "QHeaderView::section { background-color: ${bg}; color: ${textSub}; border: none;"
    " border-bottom: 1px solid ${cardBorder}; padding: 4px 6px; font-weight: bold; }",
    "QLabel#historyCount { color: ${textSub}; }",
    "QLabel#historyProblem { color: ${danger}; }",
    "QDateEdit { background-color: ${surface}; border: 1px solid ${fieldBorder};"
    " border-radius: 4px; padding: 3px 6px; color: ${textMain}; }",
};

// The result filter's choices: shown text and the outcome it takes.
const char *const kResults[][2] = {
    {"全部结果", ""},          {"成功", "success"},
    {"失败", "failed"},        {"版本不符", "version-mismatch"},
    {"已中断", "interrupted"},
};

} // namespace

HistoryDialog::HistoryDialog(const QString &storeUrl, QWidget *parent)
    : QDialog(parent), m_model(new RecordTableModel(this))
{
    setObjectName(QStringLiteral("historyDialog"));
    setWindowTitle(tr("更新记录"));
    QString sheet = Theme::windowStyleSheet();
    for (const char *rule : kTableRules)
        sheet += Theme::fillPalette(QString::fromUtf8(rule));
    setStyleSheet(sheet);
    setupUi();
    connect(m_model, &RecordTableModel::readFailed, this, &HistoryDialog::showProblem);
    if (!m_model->open(storeUrl))
        showProblem(m_model->errorString());
    addPorts();
    showCount();
    resize(980, 560);
}

void HistoryDialog::refresh()
{
    m_model->refresh();
    addPorts();
    showCount();
}

void HistoryDialog::addPorts()
{
    const QStringList ports = m_model->ports();
    for (const QString &port : ports) {
        if (m_portCombo->findData(port) < 0)
            m_portCombo->addItem(port, port);
    }
}

HistoryDialog::~HistoryDialog() = default;

void HistoryDialog::setupUi()
{
    auto *box = new QVBoxLayout(this);
    box->setContentsMargins(12, 12, 12, 12);
    box->setSpacing(8);

    auto *filters = new QHBoxLayout;
    filters->setSpacing(6);
    m_serialEdit = new QLineEdit(this);
    m_serialEdit->setObjectName(QStringLiteral("serialFilter"));
    m_serialEdit->setPlaceholderText(tr("序列号"));
    m_serialEdit->setClearButtonEnabled(true);
    m_portCombo = new FlatComboBox(this);
    m_portCombo->setObjectName(QStringLiteral("portFilter"));
    m_portCombo->addItem(tr("全部端口"), QString());
    m_resultCombo = new FlatComboBox(this);
    m_resultCombo->setObjectName(QStringLiteral("resultFilter"));
    for (const auto &result : kResults)
        m_resultCombo->addItem(tr(result[0]), QString::fromLatin1(result[1]));
    m_dateCheck = new QCheckBox(tr("日期"), this);
    m_dateCheck->setObjectName(QStringLiteral("dateFilter"));
    m_fromDate = new QDateEdit(QDate::currentDate(), this);
    m_fromDate->setObjectName(QStringLiteral("fromDate"));
    m_untilDate = new QDateEdit(QDate::currentDate(), this);
    m_untilDate->setObjectName(QStringLiteral("untilDate"));
    for (QDateEdit *edit : {m_fromDate, m_untilDate}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setEnabled(false);
        connect(edit, &QDateEdit::dateChanged, this, &HistoryDialog::applyFilter);
    }
    filters->addWidget(m_serialEdit, 2);
    filters->addWidget(m_portCombo, 1);
    filters->addWidget(m_resultCombo, 1);
    filters->addWidget(m_dateCheck);
    filters->addWidget(m_fromDate);
    filters->addWidget(new QLabel(tr("至"), this));
    filters->addWidget(m_untilDate);
    box->addLayout(filters);

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("historyTable"));
    m_table->setModel(m_model);
    m_table->setSortingEnabled(true);
    m_table->sortByColumn(RecordTableModel::Time, Qt::DescendingOrder);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(26);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    const int widths[] = {152, 100, 122, 112, 195, 160};
    for (int column = 0; column < int(std::size(widths)); ++column)
        m_table->setColumnWidth(column, widths[column]);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    // The table's own Ctrl+C copies one cell; the event filter makes it copy whole rows.
    m_table->installEventFilter(this);
    auto *copy = new QAction(tr("复制"), m_table);
    copy->setShortcut(QKeySequence::Copy);
    connect(copy, &QAction::triggered, this, &HistoryDialog::copySelectedRows);
    connect(m_table, &QWidget::customContextMenuRequested, this, [this, copy](const QPoint &pos) {
        QMenu menu(m_table);
        menu.addAction(copy);
        menu.exec(m_table->viewport()->mapToGlobal(pos));
    });
    box->addWidget(m_table, 1);

    auto *footer = new QHBoxLayout;
    m_countLabel = new QLabel(this);
    m_countLabel->setObjectName(QStringLiteral("historyCount"));
    m_problemLabel = new QLabel(this);
    m_problemLabel->setObjectName(QStringLiteral("historyProblem"));
    m_problemLabel->setWordWrap(true);
    m_problemLabel->hide();
    m_exportButton = new QPushButton(tr("导出 CSV…"), this);
    m_exportButton->setObjectName(QStringLiteral("exportButton"));
    m_exportButton->setMinimumHeight(28);
    auto *closeButton = new QPushButton(tr("关闭"), this);
    closeButton->setMinimumHeight(28);
    for (QPushButton *button : {m_exportButton, closeButton})
        button->setAutoDefault(false);
    footer->addWidget(m_countLabel);
    footer->addWidget(m_problemLabel, 1);
    footer->addStretch();
    footer->addWidget(m_exportButton);
    footer->addWidget(closeButton);
    box->addLayout(footer);

    connect(m_serialEdit, &QLineEdit::editingFinished, this, &HistoryDialog::applyFilter);
    connect(m_portCombo, &QComboBox::currentIndexChanged, this, &HistoryDialog::applyFilter);
    connect(m_resultCombo, &QComboBox::currentIndexChanged, this, &HistoryDialog::applyFilter);
    connect(m_dateCheck, &QCheckBox::toggled, this, [this](bool on) {
        m_fromDate->setEnabled(on);
        m_untilDate->setEnabled(on);
        applyFilter();
    });
    connect(m_exportButton, &QPushButton::clicked, this, &HistoryDialog::exportCsv);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::close);
}

bool HistoryDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)) {
        copySelectedRows();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void HistoryDialog::applyFilter()
{
    RecordFilter filter;
    filter.unitSerial = m_serialEdit->text().trimmed();
    filter.port = m_portCombo->currentData().toString();
    filter.outcome = m_resultCombo->currentData().toString();
    if (m_dateCheck->isChecked()) {
        // Whole local days, from the first to the last chosen.
        filter.fromUtc = m_fromDate->date().startOfDay().toUTC();
        filter.untilUtc = m_untilDate->date().addDays(1).startOfDay().toUTC();
    }
    const RecordFilter old = m_model->filter();
    if (filter.unitSerial == old.unitSerial && filter.port == old.port &&
        filter.outcome == old.outcome && filter.fromUtc == old.fromUtc &&
        filter.untilUtc == old.untilUtc)
        return;
    m_problemLabel->hide();
    m_model->setFilter(filter);
    showCount();
}

void HistoryDialog::showCount()
{
    const qint64 count = m_model->totalCount();
    m_countLabel->setText(count < 0 ? QString() : tr("共 %1 条记录").arg(count));
    m_countLabel->setToolTip(m_model->url().identity());
    m_exportButton->setEnabled(count > 0);
}

void HistoryDialog::showProblem(const QString &message)
{
    m_problemLabel->setText(message);
    m_problemLabel->setVisible(!message.isEmpty());
}

void HistoryDialog::copySelectedRows()
{
    QStringList lines;
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    QList<int> numbers;
    for (const QModelIndex &index : rows)
        numbers << index.row();
    std::sort(numbers.begin(), numbers.end());
    for (int row : numbers)
        lines << m_model->rowText(row);
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void HistoryDialog::exportCsv()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QString proposal = QDir(folder).filePath(
        QStringLiteral("update-records-%1.csv")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    const QString path = QFileDialog::getSaveFileName(this, tr("导出更新记录"), proposal,
                                                      tr("CSV 文件 (*.csv);;所有文件 (*)"));
    if (!path.isEmpty())
        exportTo(path);
}

bool HistoryDialog::exportTo(const QString &path)
{
    // The target is replaced only when the whole export is written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        showProblem(tr("无法导出：%1").arg(file.errorString()));
        return false;
    }
    if (!m_model->exportCsv(&file) || !file.commit()) {
        const QString why =
            m_model->errorString().isEmpty() ? file.errorString() : m_model->errorString();
        file.cancelWriting();
        showProblem(tr("无法导出：%1").arg(why));
        return false;
    }
    showProblem(QString());
    m_countLabel->setText(tr("已导出到 %1").arg(QFileInfo(path).fileName()));
    return true;
}
