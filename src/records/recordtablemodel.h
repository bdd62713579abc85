#pragma once

#include "records/recordstore.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>

class QIODevice;

// The update history as a table for a view, on the thread that made it. Rows come from the store
// a page at a time as the view scrolls to them (canFetchMore/fetchMore); filtering and sorting
// are done by the store, so a history of any length opens at once.
class RecordTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Time, Port, Unit, Version, Image, Result, Duration, ColumnCount };
    static constexpr int kPageSize = 200;

    explicit RecordTableModel(QObject *parent = nullptr);

    // Opens the store and shows its newest records; false with errorString() when it cannot.
    bool open(const QString &url);
    QString errorString() const { return m_error; }
    StoreUrl url() const { return m_store.url(); }
    QStringList ports() { return m_store.ports(); }

    void setFilter(const RecordFilter &filter);
    // Reads the store again from the top, for records written since.
    void refresh() { reload(); }
    RecordFilter filter() const { return m_filter; }
    // How many records the filter takes, all of them, not only the rows fetched; -1 on error.
    qint64 totalCount() { return m_store.count(m_filter); }
    // The row's shown texts, tab-separated.
    QString rowText(int row) const;
    // Every record the filter takes, in the shown order, as CSV (UTF-8 with BOM, CR LF): the
    // full record, not only the shown columns. False with errorString() on a failed read or write.
    bool exportCsv(QIODevice *device);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

Q_SIGNALS:
    // A page could not be read (Chinese).
    void readFailed(const QString &message);

private:
    struct Row
    {
        QString cells[ColumnCount];
        QString sha256;
        QString reasonCode;
        bool success = false;
    };
    void reload();
    static Row rowOf(const UpdateRecord &record);

    RecordStore m_store;
    RecordFilter m_filter;
    RecordOrder m_order;
    QList<Row> m_rows;
    QVariantList m_after; // where the next page starts
    bool m_atEnd = true;
    QString m_error;
};
