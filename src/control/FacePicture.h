#pragma once

#include <QPixmap>

/// UI thread. The download control's 48 x 48 face: two computer screens linked by a line to a
/// mobile handset and a small network box, on a transparent background. Never throws.
QPixmap downloadControlFace();
