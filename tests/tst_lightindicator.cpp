#include "app/lightindicator.h"

#include <QEvent>
#include <QImage>
#include <QtTest>

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

QImage renderLamp(LightIndicator *lamp, const QSize &size)
{
    lamp->resize(size);
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    lamp->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

class tst_LightIndicator : public QObject
{
    Q_OBJECT

private slots:
    void startsOffAtSixteenPixels();
    void drawsCentredCircleOnShorterSide_data();
    void drawsCentredCircleOnShorterSide();
    void fillsWithColourOnlyWhenOn();
    void repaintsOnlyOnChange();
};

void tst_LightIndicator::startsOffAtSixteenPixels()
{
    LightIndicator lamp;
    QVERIFY(!lamp.isOn());
    QCOMPARE(lamp.sizeHint(), QSize(16, 16));
    QCOMPARE(lamp.minimumSize(), QSize(16, 16));
    QCOMPARE(lamp.color(), QColor(0, 160, 0, 255));
}

void tst_LightIndicator::drawsCentredCircleOnShorterSide_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("circle");
    QTest::newRow("tall 16x30") << QSize(16, 30) << QRect(0, 7, 16, 16);
    QTest::newRow("wide 40x20") << QSize(40, 20) << QRect(10, 0, 20, 20);
    QTest::newRow("odd 17x30") << QSize(17, 30) << QRect(0, 6, 17, 17);
}

void tst_LightIndicator::drawsCentredCircleOnShorterSide()
{
    QFETCH(QSize, size);
    QFETCH(QRect, circle);
    LightIndicator lamp;
    const QImage image = renderLamp(&lamp, size);
    const QColor grey(140, 140, 140);

    // Inside the circle, the middle of each edge is covered; just outside it is not.
    const QPoint centre = circle.center();
    QCOMPARE(image.pixelColor(centre), grey);
    QCOMPARE(image.pixelColor(centre.x(), circle.top() + 1).alpha() > 0, true);
    QCOMPARE(image.pixelColor(centre.x(), circle.bottom() - 1).alpha() > 0, true);
    if (circle.top() > 0)
        QCOMPARE(image.pixelColor(centre.x(), circle.top() - 1).alpha(), 0);
    if (circle.bottom() < size.height() - 1)
        QCOMPARE(image.pixelColor(centre.x(), circle.bottom() + 1).alpha(), 0);
    if (circle.left() > 0)
        QCOMPARE(image.pixelColor(circle.left() - 1, centre.y()).alpha(), 0);
    // No outline: the corners of the bounding box stay empty.
    QCOMPARE(image.pixelColor(circle.topLeft()).alpha(), 0);
}

void tst_LightIndicator::fillsWithColourOnlyWhenOn()
{
    LightIndicator lamp;
    lamp.setOn(true);
    QCOMPARE(renderLamp(&lamp, QSize(16, 16)).pixelColor(8, 8), QColor(0, 160, 0));
    lamp.setColor(QColor(200, 10, 10));
    QCOMPARE(renderLamp(&lamp, QSize(16, 16)).pixelColor(8, 8), QColor(200, 10, 10));
    lamp.setOn(false);
    QCOMPARE(renderLamp(&lamp, QSize(16, 16)).pixelColor(8, 8), QColor(140, 140, 140));
}

void tst_LightIndicator::repaintsOnlyOnChange()
{
    LightIndicator lamp;
    PaintCounter counter;
    lamp.installEventFilter(&counter);
    lamp.show();
    QVERIFY(QTest::qWaitForWindowExposed(&lamp));
    QTRY_VERIFY(counter.count > 0);

    counter.count = 0;
    lamp.setOn(false);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(counter.count, 0);

    lamp.setColor(lamp.color());
    QTRY_COMPARE(counter.count, 1);

    counter.count = 0;
    lamp.setOn(true);
    QTRY_COMPARE(counter.count, 1);
}

QTEST_MAIN(tst_LightIndicator)
#include "tst_lightindicator.moc"
