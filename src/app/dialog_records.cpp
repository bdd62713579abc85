#include "app/dialog.h"

#include "app/historydialog.h"
#include "records/recordstore.h"

#include <QSettings>

namespace {
// Read only: a URL with a password is given on fwflash's command line, never stored here.
const QString kRecordsUrlKey = QStringLiteral("recordsUrl");
} // namespace

QString Dialog::recordsUrl() const
{
    const QString url = m_settings->value(kRecordsUrlKey).toString().trimmed();
    return url.isEmpty() ? RecordStore::defaultUrl() : url;
}

void Dialog::showRecordHistory()
{
    // A closed view is on its way out (it deletes itself on close): a new one is made.
    auto *history = findChild<HistoryDialog *>();
    if (!history || !history->isVisible()) {
        history = new HistoryDialog(recordsUrl(), this);
        history->setAttribute(Qt::WA_DeleteOnClose);
    }
    history->show();
    history->raise();
    history->activateWindow();
}
