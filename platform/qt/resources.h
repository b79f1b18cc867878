// The pictures the program carries itself (Qt resources under ":/vek/").
#pragma once

#include <QCursor>
#include <QPixmap>
#include <QString>
#include <vector>

namespace plat {

// Makes the resources of this library reachable; called by every function
// below, since a static library's resources are not registered by themselves.
void InitPlatformResources();

// Cuts a strip of square-ish images of `width` pixels into its pictures, with
// `transparent` made transparent (the strip's background colour).
std::vector<QPixmap> LoadImageStrip(const QString& resource, int width, const QColor& transparent);

// "SmallImages": six 16 x 16 pictures, olive as the transparent colour:
// 0 closed folder, 1 open folder, 2 blank page, 3 text page, 4 picture, 5 program.
const std::vector<QPixmap>& SmallImages();
enum SmallImage { siClosedFolder = 0, siOpenFolder = 1, siDocument = 2, siText = 3, siPicture = 4, siProgram = 5 };

// The program's own hand cursor ("URLHAND"), used wherever a hand-point
// cursor is asked for, in place of the desktop's.
QCursor HandPointCursor();

}  // namespace plat
