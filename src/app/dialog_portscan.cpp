#include "app/dialog.h"

#include "ui/widgets.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QLineEdit>

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
    // A name or path the user is typing is not the list's to replace.
    const QString text = m_portCombo->currentText();
    const bool typed = !text.trimmed().isEmpty() && m_portCombo->findText(text) < 0;
    if (typed && m_portCombo->lineEdit() && m_portCombo->lineEdit()->hasFocus())
        return;

    const QList<PortListing> ports = portEnumerator()();
    QStringList wanted = portLabels(ports);
    for (const PortListing &port : ports)
        wanted << portDetails(port);
    QStringList current;
    for (int i = 0; i < m_portCombo->count(); ++i)
        current << m_portCombo->itemText(i);
    for (int i = 0; i < m_portCombo->count(); ++i)
        current << m_portCombo->itemData(i, Qt::ToolTipRole).toString();
    if (wanted == current)
        return;

    const QString remembered = selectedPortName();
    m_portCombo->clear();
    fillPortSelector(ports);
    // A listed port that went away gives way to the first one left; a typed one stays as typed.
    const int index =
        m_portCombo->findData(remembered, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        m_portCombo->setCurrentIndex(index);
    else if (typed)
        m_portCombo->setEditText(text);
    updatePortPopupWidth();
}

void Dialog::fillPortSelector(const QList<PortListing> &ports)
{
    for (const PortListing &port : ports) {
        m_portCombo->addItem(portLabel(port), port.name);
        m_portCombo->setItemData(m_portCombo->count() - 1, portDetails(port), Qt::ToolTipRole);
    }
}

void Dialog::selectPort(const QString &name)
{
    const int index =
        m_portCombo->findData(name, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        m_portCombo->setCurrentIndex(index);
    else if (!name.isEmpty())
        m_portCombo->setEditText(name);
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
