#include "app/dialog.h"

#include "ui/widgets.h"

#include <QAbstractItemView>
#include <QFontMetrics>

namespace {
// Room for the popup's frame and scroll bar beyond the widest label.
constexpr int kPopupExtraWidth = 28;
// The item's own padding around its text.
constexpr int kItemTextPadding = 12;

// Width the list needs for its widest label. The menu-style delegate that some styles give a
// combo box reports a size that ignores the text, so the labels are measured as well.
int neededListWidth(const QComboBox &combo, const QAbstractItemView &view)
{
    const QFontMetrics metrics = view.fontMetrics();
    int widestText = 0;
    for (int i = 0; i < combo.count(); ++i)
        widestText = qMax(widestText, metrics.horizontalAdvance(combo.itemText(i)));
    const int measured = widestText > 0 ? widestText + kItemTextPadding : 0;
    return qMax(view.sizeHintForColumn(0), measured);
}
} // namespace

PortEnumerator &Dialog::portEnumerator()
{
    static PortEnumerator enumerator = systemSerialPorts;
    return enumerator;
}

void Dialog::setPortEnumerator(PortEnumerator enumerator)
{
    portEnumerator() = enumerator ? std::move(enumerator) : PortEnumerator(systemSerialPorts);
}

void Dialog::scanSerialPorts()
{
    // The list stays as it is while an update runs, even if ports come and go.
    if (m_updateInProgress)
        return;

    const QList<PortListing> ports = portEnumerator()();
    const QStringList labels = portLabels(ports);
    QStringList current;
    current.reserve(m_portCombo->count());
    for (int i = 0; i < m_portCombo->count(); ++i)
        current.append(m_portCombo->itemText(i));
    if (labels == current)
        return;

    const QString remembered = selectedPortName();
    m_portCombo->clear();
    fillPortSelector(ports);
    const int index =
        m_portCombo->findData(remembered, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        m_portCombo->setCurrentIndex(index);
    updatePortPopupWidth();
}

void Dialog::fillPortSelector(const QList<PortListing> &ports)
{
    for (const PortListing &port : ports)
        m_portCombo->addItem(portLabel(port), port.name);
}

void Dialog::updatePortPopupWidth()
{
    QAbstractItemView *view = m_portCombo->view();
    if (!view)
        return;
    const int needed = neededListWidth(*m_portCombo, *view);
    if (needed > 0)
        view->setMinimumWidth(qMax(needed + kPopupExtraWidth, m_portCombo->width()));
}
