#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

// One serial port as the system lists it. The fields after the description tell identical
// adapters apart; each is empty (or 0) when the system does not know it.
struct PortListing
{
    PortListing() = default;
    PortListing(QString portName, QString portDescription = QString())
        : name(std::move(portName)), description(std::move(portDescription))
    {
    }

    QString name;
    QString description;
    QString manufacturer;
    QString serialNumber;
    quint16 vendorId = 0;
    quint16 productId = 0;
    bool hasIds = false;
};

using PortEnumerator = std::function<QList<PortListing>()>;

// The system's serial ports, in the order Qt Serial Port returns them.
QList<PortListing> systemSerialPorts();

// Selector labels: "name (description)", or the bare name without a description.
// No widgets, no I/O.
QString portLabel(const PortListing &port);
QStringList portLabels(const QList<PortListing> &ports);

// "1a86:7523" in lower-case hexadecimal, or an empty string when the ids are unknown.
// No widgets, no I/O.
QString vidPidText(const PortListing &port);

// What tells identical adapters apart, one line each (description, manufacturer, serial number,
// VID:PID), for the selector entry's tooltip; only what the system knows. No widgets, no I/O.
QString portDetails(const PortListing &port);

// The path a port name stands for: a path as it is, a bare name under /dev. No widgets, no I/O.
QString portLocation(const QString &port);

// The system listing of a port given by name or path: by name, or by the /dev name its path
// resolves to (resolvedPath, empty when it does not resolve); a bare listing of the name when the
// system does not list it. No widgets, no I/O.
PortListing listingFor(const QList<PortListing> &ports, const QString &port,
                       const QString &resolvedPath);
