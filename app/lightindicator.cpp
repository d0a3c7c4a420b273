#include "lightindicator.h"

#include <QPainter>

LightIndicator::LightIndicator(QWidget *parent)
    : QWidget(parent)
{
    setMinimumSize(16, 16);
}

QSize LightIndicator::sizeHint() const
{
    return QSize(16, 16);
}

void LightIndicator::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    update();
}

void LightIndicator::setColor(QColor c)
{
    m_color = c;
    update();
}

void LightIndicator::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_on ? m_color : QColor(140, 140, 140, 255));
    const int d = qMin(width(), height());
    painter.drawEllipse((width() - d) / 2, (height() - d) / 2, d, d);
}
