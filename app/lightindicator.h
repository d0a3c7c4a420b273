#ifndef LIGHTINDICATOR_H
#define LIGHTINDICATOR_H

#include <QColor>
#include <QWidget>

// The round status lamp of an endpoint row: lit when the row's node last answered.
class LightIndicator : public QWidget
{
    Q_OBJECT

public:
    explicit LightIndicator(QWidget *parent = nullptr);

    QSize sizeHint() const override;

    bool isOn() const { return m_on; }
    QColor color() const { return m_color; }

public slots:
    void setOn(bool on);
    void setColor(QColor c);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_on = false;
    QColor m_color = QColor(0, 160, 0, 255);
};

#endif // LIGHTINDICATOR_H
