#include "update/portdiscovery.h"

#include <QCoreApplication>
#include <QSerialPortInfo>

QList<PortListing> systemSerialPorts()
{
    QList<PortListing> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortListing port(info.portName(), info.description());
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        port.hasIds = info.hasVendorIdentifier() && info.hasProductIdentifier();
        if (port.hasIds) {
            port.vendorId = info.vendorIdentifier();
            port.productId = info.productIdentifier();
        }
        ports.append(port);
    }
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

QString vidPidText(const PortListing &port)
{
    if (!port.hasIds)
        return QString();
    return QStringLiteral("%1:%2")
        .arg(port.vendorId, 4, 16, QLatin1Char('0'))
        .arg(port.productId, 4, 16, QLatin1Char('0'));
}

QString portDetails(const PortListing &port)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("Dialog", text); };
    QStringList lines;
    const QList<std::pair<QString, QString>> fields{
        {tr("描述"), port.description},
        {tr("制造商"), port.manufacturer},
        {tr("序列号"), port.serialNumber},
        {QStringLiteral("VID:PID"), vidPidText(port)},
    };
    for (const auto &[label, value] : fields) {
        if (!value.isEmpty())
            lines << QStringLiteral("%1：%2").arg(label, value);
    }
    return lines.join(QLatin1Char('\n'));
}

QString portLocation(const QString &port)
{
    if (port.contains(QLatin1Char('/')))
        return port;
    return QStringLiteral("/dev/") + port;
}

PortListing listingFor(const QList<PortListing> &ports, const QString &port,
                       const QString &resolvedPath)
{
    const QString devName =
        resolvedPath.startsWith(QLatin1String("/dev/")) ? resolvedPath.mid(5) : QString();
    for (const PortListing &listing : ports) {
        if (listing.name == port || (!devName.isEmpty() && listing.name == devName))
            return listing;
    }
    return PortListing(port);
}
