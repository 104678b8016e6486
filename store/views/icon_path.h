// Where the window's own images are found.
#pragma once

#include <QString>

// Full path of one of the window's images, given by its "./icon/NAME" (or
// "icon/NAME") name. The folder is looked up once, in order: $NELT_ICON_DIR,
// <program dir>/icon, <program dir>/../share/neltstore/icon, ./icon; the
// first that exists wins. So a window started from any folder (the desktop
// menu, a terminal elsewhere) finds its images, installed or built. When no
// folder exists the name is returned unchanged.
QString iconPath(const QString& name);

// The folder chosen, empty when none exists. `refresh` looks again (tests
// change $NELT_ICON_DIR).
QString iconDir(bool refresh = false);
