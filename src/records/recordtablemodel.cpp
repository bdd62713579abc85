#include "records/recordtablemodel.h"

#include "ui/theme.h"

#include <QColor>
#include <QCoreApplication>
#include <QIODevice>

namespace {

// Pages of the CSV export.
constexpr int kExportPage = 1000;

QString orUnknown(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("?") : text;
}

} // namespace

RecordTableModel::RecordTableModel(QObject *parent) : QAbstractTableModel(parent) {}

bool RecordTableModel::open(const QString &url)
{
    const bool opened = m_store.open(url);
    m_error = opened ? QString() : m_store.errorString();
    reload();
    return opened;
}

void RecordTableModel::setFilter(const RecordFilter &filter)
{
    m_filter = filter;
    reload();
}

void RecordTableModel::sort(int column, Qt::SortOrder order)
{
    const auto wanted = RecordOrder::Column(qBound(0, column, ColumnCount - 1));
    const bool ascending = order == Qt::AscendingOrder;
    // A view asks for the order it already has when sorting is switched on.
    if (wanted == m_order.column && ascending == m_order.ascending)
        return;
    m_order.column = wanted;
    m_order.ascending = ascending;
    reload();
}

void RecordTableModel::reload()
{
    beginResetModel();
    m_rows.clear();
    m_after.clear();
    m_atEnd = false;
    endResetModel();
    fetchMore(QModelIndex());
}

RecordTableModel::Row RecordTableModel::rowOf(const UpdateRecord &r)
{
    Row row;
    row.cells[Time] = r.startedUtc.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    row.cells[Port] = r.port;
    row.cells[Unit] = QStringList({r.model, r.unitSerial}).join(QLatin1Char(' ')).trimmed();
    if (!r.versionBefore.isEmpty() || !r.versionAfter.isEmpty())
        row.cells[Version] =
            orUnknown(r.versionBefore) + QStringLiteral(" → ") + orUnknown(r.versionAfter);
    row.cells[Image] = r.imageSha256.isEmpty()
                           ? r.imageName
                           : QStringLiteral("%1 (%2)").arg(r.imageName, r.imageSha256.left(8));
    row.cells[Result] = Records::outcomeText(r.outcome);
    if (!r.reason.isEmpty())
        row.cells[Result] += tr("：") + r.reason;
    row.cells[Duration] = QStringLiteral("%1 s").arg(double(r.durationMs) / 1000.0, 0, 'f', 1);
    row.sha256 = r.imageSha256;
    row.reasonCode = r.reasonCode;
    row.success = r.outcome == QLatin1String("success");
    return row;
}

int RecordTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RecordTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecordTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size() || index.column() >= ColumnCount)
        return QVariant();
    const Row &row = m_rows[index.row()];
    switch (role) {
    case Qt::DisplayRole:
        return row.cells[index.column()];
    case Qt::ToolTipRole:
        if (index.column() == Image && !row.sha256.isEmpty())
            return row.sha256;
        if (index.column() == Result && !row.reasonCode.isEmpty())
            return QStringLiteral("%1 (%2)").arg(row.cells[Result], row.reasonCode);
        return row.cells[index.column()];
    case Qt::ForegroundRole:
        if (index.column() == Result && !row.success)
            return QColor(QLatin1String(Theme::kDanger));
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const titles[ColumnCount] = {"时间", "端口", "设备", "版本",
                                                    "固件", "结果", "用时"};
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}

bool RecordTableModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_atEnd;
}

void RecordTableModel::fetchMore(const QModelIndex &parent)
{
    if (parent.isValid() || m_atEnd)
        return;
    const QList<UpdateRecord> page = m_store.query(m_filter, m_order, kPageSize, &m_after);
    m_atEnd = page.size() < kPageSize;
    if (page.isEmpty() && !m_store.errorString().isEmpty()) {
        m_error = m_store.errorString();
        m_atEnd = true;
        Q_EMIT readFailed(m_error);
        return;
    }
    if (page.isEmpty())
        return;
    beginInsertRows(QModelIndex(), int(m_rows.size()), int(m_rows.size() + page.size() - 1));
    for (const UpdateRecord &record : page)
        m_rows << rowOf(record);
    endInsertRows();
}

QString RecordTableModel::rowText(int row) const
{
    if (row < 0 || row >= m_rows.size())
        return QString();
    QStringList cells;
    for (const QString &cell : m_rows[row].cells)
        cells << cell;
    return cells.join(QLatin1Char('\t'));
}

bool RecordTableModel::exportCsv(QIODevice *device)
{
    const auto written = [device](const QString &line) {
        const QByteArray bytes = line.toUtf8() + "\r\n";
        return device->write(bytes) == bytes.size();
    };
    if (device->write("\xEF\xBB\xBF") != 3 || !written(Records::csvHeader())) {
        m_error = device->errorString();
        return false;
    }
    for (QVariantList after;;) {
        const QList<UpdateRecord> page = m_store.query(m_filter, m_order, kExportPage, &after);
        if (page.isEmpty() && !m_store.errorString().isEmpty()) {
            m_error = m_store.errorString();
            return false;
        }
        for (const UpdateRecord &record : page) {
            if (!written(Records::csvRow(record))) {
                m_error = device->errorString();
                return false;
            }
        }
        if (page.size() < kExportPage)
            return true;
    }
}
