#pragma once

#include <QIcon>

/// UI thread. The update window's 32 x 32 icon, in black, olive and yellow on a transparent
/// background. Never throws.
QIcon updateWindowIcon();
