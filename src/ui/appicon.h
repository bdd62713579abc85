#pragma once

#include <QIcon>

// The tool's icon (a chip with a download arrow) at every size rendered from its SVG at build time;
// the window's icon, and the same one the desktop's menu shows.
QIcon appIcon();
// The station's icon (the chip in green with four boards), the same way.
QIcon stationIcon();
