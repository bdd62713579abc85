#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class RecordTableModel;

// The update history: every record in the store as a table, filtered by the unit's serial
// number, port, result and date, sorted by any column, a row copied, the filtered records
// exported to CSV. Opens at once however long the history is: the model fetches the rows as the
// table shows them.
class HistoryDialog : public QDialog
{
    Q_OBJECT

public:
    explicit HistoryDialog(const QString &storeUrl, QWidget *parent = nullptr);
    ~HistoryDialog() override;

    RecordTableModel *model() const { return m_model; }
    // Shows what the store has now (a record was written while the view is open).
    void refresh();
    // Writes the filtered records to path; false with the reason shown in the dialog.
    bool exportTo(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setupUi();
    void applyFilter();
    // The ports of the records into the port filter, those not there yet.
    void addPorts();
    void showCount();
    void showProblem(const QString &message);
    void copySelectedRows();
    void exportCsv();

    RecordTableModel *m_model = nullptr;
    QLineEdit *m_serialEdit = nullptr;
    QComboBox *m_portCombo = nullptr;
    QComboBox *m_resultCombo = nullptr;
    QCheckBox *m_dateCheck = nullptr;
    QDateEdit *m_fromDate = nullptr;
    QDateEdit *m_untilDate = nullptr;
    QTableView *m_table = nullptr;
    QLabel *m_countLabel = nullptr;
    QLabel *m_problemLabel = nullptr;
    QPushButton *m_exportButton = nullptr;
};
