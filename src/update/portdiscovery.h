#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// One serial port as the system lists it.
struct PortListing
{
    QString name;
    QString description;
};

using PortEnumerator = std::function<QList<PortListing>()>;

// The system's serial ports, in the order Qt Serial Port returns them.
QList<PortListing> systemSerialPorts();

// Selector labels: "name (description)", or the bare name without a description.
// No widgets, no I/O.
QString portLabel(const PortListing &port);
QStringList portLabels(const QList<PortListing> &ports);
