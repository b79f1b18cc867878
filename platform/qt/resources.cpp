#include "platform/qt/resources.h"

#include <QBitmap>
#include <QImage>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitPlatformQtResource() { Q_INIT_RESOURCE(platform_qt); }

namespace plat {

void InitPlatformResources() {
  static const bool done = (InitPlatformQtResource(), true);
  (void)done;
}

std::vector<QPixmap> LoadImageStrip(const QString& resource, int width, const QColor& transparent) {
  InitPlatformResources();
  std::vector<QPixmap> images;
  QImage strip(resource);
  if (strip.isNull() || width <= 0) return images;
  strip = strip.convertToFormat(QImage::Format_ARGB32);
  // The background colour becomes alpha 0 before cutting, so that scaled
  // copies keep clean edges.
  const QRgb key = transparent.rgb() & 0xFFFFFF;
  for (int y = 0; y < strip.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(strip.scanLine(y));
    for (int x = 0; x < strip.width(); ++x)
      if ((line[x] & 0xFFFFFF) == key) line[x] = 0;
  }
  for (int x = 0; x + width <= strip.width(); x += width)
    images.push_back(QPixmap::fromImage(strip.copy(x, 0, width, strip.height())));
  return images;
}

const std::vector<QPixmap>& SmallImages() {
  // Kept to the end of the process: pixmaps must not outlive the application
  // object in a static destructor.
  static const auto* images = new std::vector<QPixmap>(LoadImageStrip(":/vek/SmallImages", 16, QColor(128, 128, 0)));
  return *images;
}

QCursor HandPointCursor() {
  InitPlatformResources();
  const QPixmap hand(":/vek/URLHAND");
  if (hand.isNull()) return QCursor(Qt::PointingHandCursor);
  return QCursor(hand, 9, 0);   // the tip of the index finger
}

}  // namespace plat
