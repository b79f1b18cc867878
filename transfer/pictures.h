// The transfer and about windows' own pictures, drawn once at start.
#pragma once

#include <QPixmap>

namespace transfer_pictures {

enum class Command { About, Upload, Download, New, Abort, Exit };

// 32 x 32, on a transparent ground, for the command bar's buttons.
QPixmap CommandPicture(Command command);
// The command bar's two pictures at its top: a badge, then a globe drawn
// transparent over it.
QPixmap BadgePicture();
QPixmap GlobePicture();
// The about window's picture: 132 x 89.
QPixmap AboutPicture();

}  // namespace transfer_pictures
