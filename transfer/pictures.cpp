#include "transfer/pictures.h"

#include <cmath>

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace transfer_pictures {

namespace {

QPixmap Blank(int w, int h) {
  QPixmap pixmap(w, h);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

void Arrow(QPainter& p, bool up, const QColor& fill) {
  // A thick arrow over a tray: the direction the files travel.
  QPolygonF arrow;
  if (up) arrow << QPointF(16, 3) << QPointF(27, 14) << QPointF(20, 14) << QPointF(20, 22) << QPointF(12, 22)
                << QPointF(12, 14) << QPointF(5, 14);
  else arrow << QPointF(16, 22) << QPointF(27, 11) << QPointF(20, 11) << QPointF(20, 3) << QPointF(12, 3)
             << QPointF(12, 11) << QPointF(5, 11);
  p.setPen(QPen(Qt::black, 1.2));
  p.setBrush(fill);
  p.drawPolygon(arrow);
  p.setBrush(QColor(200, 200, 200));
  p.drawRect(QRectF(4, 25, 24, 4));
}

void Globe(QPainter& p, const QRectF& r) {
  p.setPen(QPen(QColor(0, 40, 120), 1.5));
  p.setBrush(QColor(70, 150, 230));
  p.drawEllipse(r);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(230, 240, 255), 1.2));
  p.drawEllipse(r.adjusted(r.width() * 0.3, 0, -r.width() * 0.3, 0));
  p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
  p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
  const double band = r.height() * 0.25;
  p.drawLine(QPointF(r.left() + r.width() * 0.07, r.top() + band), QPointF(r.right() - r.width() * 0.07, r.top() + band));
  p.drawLine(QPointF(r.left() + r.width() * 0.07, r.bottom() - band),
             QPointF(r.right() - r.width() * 0.07, r.bottom() - band));
}

}  // namespace

QPixmap CommandPicture(Command command) {
  QPixmap pixmap = Blank(32, 32);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  switch (command) {
    case Command::About: {
      // A home: the author's web site.
      p.setPen(QPen(Qt::black, 1.2));
      p.setBrush(QColor(245, 235, 210));
      p.drawRect(QRectF(7, 14, 18, 15));
      QPolygonF roof;
      roof << QPointF(3, 15) << QPointF(16, 3) << QPointF(29, 15);
      p.setBrush(QColor(200, 40, 30));
      p.drawPolygon(roof);
      p.setBrush(QColor(110, 65, 25));
      p.drawRect(QRectF(13, 20, 6, 9));
      break;
    }
    case Command::Upload:
      Arrow(p, true, QColor(60, 200, 60));
      break;
    case Command::Download:
      Arrow(p, false, QColor(250, 170, 30));
      break;
    case Command::New: {
      // Two plugs meeting: a new connection.
      p.setPen(QPen(Qt::black, 1.2));
      p.setBrush(QColor(240, 240, 240));
      p.drawRoundedRect(QRectF(3, 11, 12, 10), 2, 2);
      p.drawRoundedRect(QRectF(19, 11, 10, 10), 2, 2);
      p.setBrush(QColor(230, 200, 40));
      p.drawRect(QRectF(15, 13, 5, 2));
      p.drawRect(QRectF(15, 17, 5, 2));
      p.setPen(QPen(QColor(40, 40, 40), 2));
      p.drawLine(QPointF(1, 16), QPointF(3, 16));
      p.drawLine(QPointF(29, 16), QPointF(31, 16));
      break;
    }
    case Command::Abort: {
      QPolygonF octagon;
      for (int i = 0; i < 8; ++i) {
        const double a = (22.5 + 45.0 * i) * 3.14159265358979 / 180.0;
        octagon << QPointF(16 + 13 * std::cos(a), 16 + 13 * std::sin(a));
      }
      p.setPen(QPen(Qt::white, 1.5));
      p.setBrush(QColor(210, 20, 20));
      p.drawPolygon(octagon);
      p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(11, 11), QPointF(21, 21));
      p.drawLine(QPointF(21, 11), QPointF(11, 21));
      break;
    }
    case Command::Exit: {
      // An open door with the way out.
      p.setPen(QPen(Qt::black, 1.2));
      p.setBrush(QColor(150, 95, 45));
      p.drawRect(QRectF(6, 3, 16, 26));
      p.setBrush(QColor(110, 65, 25));
      QPolygonF door;
      door << QPointF(6, 3) << QPointF(15, 6) << QPointF(15, 31) << QPointF(6, 29);
      p.drawPolygon(door);
      p.setPen(QPen(QColor(255, 255, 255), 2.5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(19, 16), QPointF(30, 16));
      p.drawLine(QPointF(26, 12), QPointF(30, 16));
      p.drawLine(QPointF(26, 20), QPointF(30, 16));
      break;
    }
  }
  return pixmap;
}

QPixmap BadgePicture() {
  QPixmap pixmap = Blank(64, 22);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(255, 255, 255), 1));
  p.setBrush(QColor(0, 0, 128));
  p.drawRoundedRect(QRectF(0.5, 0.5, 63, 21), 4, 4);
  QFont font;
  font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
  font.setPixelSize(14);
  font.setBold(true);
  p.setFont(font);
  p.setPen(QColor(255, 255, 0));
  p.drawText(QRectF(0, 0, 64, 22), Qt::AlignCenter, QStringLiteral("FTP"));
  return pixmap;
}

QPixmap GlobePicture() {
  QPixmap pixmap = Blank(40, 40);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  Globe(p, QRectF(2, 2, 36, 36));
  return pixmap;
}

QPixmap AboutPicture() {
  QPixmap pixmap = Blank(132, 89);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  // Two computers and the files passing between them.
  auto screen = [&p](const QRectF& r) {
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.setBrush(QColor(215, 215, 210));
    p.drawRoundedRect(r, 3, 3);
    p.setBrush(QColor(20, 60, 150));
    p.drawRect(r.adjusted(5, 5, -5, -12));
    p.setBrush(QColor(180, 180, 175));
    p.drawRect(QRectF(r.center().x() - 8, r.bottom(), 16, 6));
    p.drawRect(QRectF(r.center().x() - 16, r.bottom() + 6, 32, 4));
  };
  screen(QRectF(2, 20, 44, 40));
  screen(QRectF(86, 20, 44, 40));
  Globe(p, QRectF(48, 2, 36, 36));
  p.setPen(QPen(QColor(250, 170, 30), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(46, 48), QPointF(84, 48));
  p.drawLine(QPointF(78, 43), QPointF(84, 48));
  p.drawLine(QPointF(78, 53), QPointF(84, 48));
  p.setPen(QPen(QColor(60, 200, 60), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(84, 60), QPointF(46, 60));
  p.drawLine(QPointF(52, 55), QPointF(46, 60));
  p.drawLine(QPointF(52, 65), QPointF(46, 60));
  return pixmap;
}

}  // namespace transfer_pictures
