#include "app/dialog.h"

#include "ui/widgets.h"

PortEnumerator &Dialog::portEnumerator()
{
    static PortEnumerator enumerator = systemSerialPorts;
    return enumerator;
}

void Dialog::setPortEnumerator(PortEnumerator enumerator)
{
    portEnumerator() = enumerator ? std::move(enumerator) : PortEnumerator(systemSerialPorts);
}

void Dialog::scanSerialPorts() {}
void Dialog::fillPortSelector(const QList<PortListing> &ports)
{
    for (const PortListing &port : ports)
        m_portCombo->addItem(portLabel(port), port.name);
}
void Dialog::updatePortPopupWidth() {}
