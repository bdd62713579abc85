#pragma once

#include <QStringList>

#include <utility>

namespace Production {

// Two ports of a run that are one device: a link and its target, or two links to one port.
// resolved holds each port's canonical path (empty when it does not resolve, as for a port not
// there yet). The indexes of the first such pair, or {-1, -1} when every port is its own: two
// workers must not share a device. No widgets, no I/O.
std::pair<int, int> samePortTwice(const QStringList &resolved);

} // namespace Production
