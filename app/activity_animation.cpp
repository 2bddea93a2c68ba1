#include "app/activity_animation.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace kestrum {

namespace {

void DrawFolder(QPainter& p, const QRectF& r) {
    QPainterPath path;
    path.moveTo(r.left(), r.top() + r.height() * 0.2);
    path.lineTo(r.left() + r.width() * 0.4, r.top() + r.height() * 0.2);
    path.lineTo(r.left() + r.width() * 0.5, r.top());
    path.lineTo(r.right(), r.top());
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(QPen(QColor(140, 100, 20), 1));
    p.setBrush(QColor(240, 200, 90));
    p.drawPath(path);
}

void DrawServer(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(40, 60, 90), 1));
    p.setBrush(QColor(120, 150, 200));
    p.drawRect(r);
    p.setPen(QPen(QColor(230, 240, 255), 1));
    for (int i = 1; i <= 2; ++i) {
        const qreal y = r.top() + r.height() * i / 3.0;
        p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2, y));
    }
}

void DrawSheet(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(Qt::white);
    p.drawRect(r);
    p.setPen(QPen(QColor(150, 150, 150), 1));
    p.drawLine(QPointF(r.left() + 1.5, r.center().y()), QPointF(r.right() - 1.5, r.center().y()));
}

}  // namespace

ActivityAnimation::ActivityAnimation(QWidget* parent) : QWidget(parent) {
    setObjectName("1043");
    timer_.setInterval(kFrameMilliseconds);
    connect(&timer_, &QTimer::timeout, this, &ActivityAnimation::NextFrame);
}

void ActivityAnimation::Play() {
    frame_ = 0;
    timer_.start();
    update();
}

void ActivityAnimation::Stop() {
    timer_.stop();
    frame_ = 0;
    update();
}

void ActivityAnimation::NextFrame() {
    frame_ = (frame_ + 1) % kFrameCount;
    update();
}

void ActivityAnimation::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = height();
    const qreal w = width();
    const qreal box = std::min(h - 2, w / 5);
    const QRectF folder(1, (h - box) / 2, box * 1.2, box * 0.9);
    const QRectF server(w - box * 0.8 - 1, (h - box) / 2, box * 0.8, box);
    DrawFolder(p, folder);
    DrawServer(p, server);

    // Half of the loop up, half down; the first frame has the sheet beside the folder.
    const int half = kFrameCount / 2;
    const qreal t = frame_ < half ? qreal(frame_) / half : qreal(kFrameCount - frame_) / half;
    const qreal startX = folder.right() + 2;
    const qreal endX = server.left() - 2 - box * 0.55;
    const qreal x = startX + (endX - startX) * t;
    const qreal arc = std::sin(t * 3.14159265) * h * 0.15;
    DrawSheet(p, QRectF(x, (h - box * 0.7) / 2 - arc, box * 0.55, box * 0.7));
}

}  // namespace kestrum
