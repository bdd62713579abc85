#include "update/portdiscovery.h"

#include <QSerialPortInfo>

QList<PortListing> systemSerialPorts()
{
    QList<PortListing> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports.append({info.portName(), info.description()});
    return ports;
}

QString portLabel(const PortListing &port)
{
    if (port.description.isEmpty())
        return port.name;
    return QStringLiteral("%1 (%2)").arg(port.name, port.description);
}

QStringList portLabels(const QList<PortListing> &ports)
{
    QStringList labels;
    labels.reserve(ports.size());
    for (const PortListing &port : ports)
        labels.append(portLabel(port));
    return labels;
}
