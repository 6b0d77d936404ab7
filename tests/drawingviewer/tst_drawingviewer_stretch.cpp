// Fitting a decoded preview to the view: each stretch mode.

#include "drawingviewer/stretch.h"

#include "support/testmain.h"
#include <QPainter>
#include <QtTest>

using namespace korvane::drawingviewer;

class TestStretch : public QObject {
    Q_OBJECT
private slots:
    void shrinkingKeepsDetailByMode_data();
    void shrinkingKeepsDetailByMode();
    void enlargingIsNearestPixelExceptHalftone();
    void renderRefusesHugePictures();
};

void TestStretch::shrinkingKeepsDetailByMode_data()
{
    QTest::addColumn<QColor>("ground");
    QTest::addColumn<QColor>("line");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("lineSurvives");
    // One-pixel lines at x = 3 in an 8 x 8 picture shrunk to 2 x 2: the first target pixel
    // covers columns 0 to 3, and nearest-pixel sampling picks one from its middle.
    QTest::newRow("black on white, mode 1") << QColor(Qt::white) << QColor(Qt::black) << 1 << true;
    QTest::newRow("black on white, mode 2") << QColor(Qt::white) << QColor(Qt::black) << 2 << false;
    QTest::newRow("white on black, mode 2") << QColor(Qt::black) << QColor(Qt::white) << 2 << true;
    QTest::newRow("white on black, mode 1") << QColor(Qt::black) << QColor(Qt::white) << 1 << false;
    QTest::newRow("white on black, mode 3") << QColor(Qt::black) << QColor(Qt::white) << 3 << false;
}

void TestStretch::shrinkingKeepsDetailByMode()
{
    QFETCH(QColor, ground);
    QFETCH(QColor, line);
    QFETCH(int, mode);
    QFETCH(bool, lineSurvives);
    QImage source(8, 8, QImage::Format_RGB32);
    source.fill(ground);
    for (int y = 0; y < 8; ++y)
        source.setPixelColor(3, y, line);
    const QImage picture = renderStretched(source, QSize(2, 2), mode);
    QCOMPARE(picture.size(), QSize(2, 2));
    QCOMPARE(picture.pixelColor(0, 0), lineSurvives ? line : ground);
    QCOMPARE(picture.pixelColor(1, 1), ground);
}

void TestStretch::enlargingIsNearestPixelExceptHalftone()
{
    QImage source(2, 2, QImage::Format_RGB32);
    source.setPixel(0, 0, qRgb(255, 0, 0));
    source.setPixel(1, 0, qRgb(0, 255, 0));
    source.setPixel(0, 1, qRgb(0, 0, 255));
    source.setPixel(1, 1, qRgb(255, 255, 255));
    for (int mode : {1, 2, 3}) {
        const QImage big = renderStretched(source, QSize(6, 4), mode);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                QCOMPARE(big.pixel(x, y), source.pixel(x / 3, y / 2));
    }
    const QImage smooth = renderStretched(source, QSize(6, 4), Halftone);
    const QColor between = smooth.pixelColor(3, 0);
    QVERIFY(between.red() > 0 && between.green() > 0); // red and green blended at the seam
}

void TestStretch::renderRefusesHugePictures()
{
    QImage source(2, 2, QImage::Format_RGB32);
    source.fill(Qt::red);
    QVERIFY(renderStretched(source, QSize(100000, 100000), 3).isNull());
    QVERIFY(renderStretched(source, QSize(0, 10), 3).isNull());
    // Without a preview the picture is the empty white area.
    const QImage blank = renderStretched(QImage(), QSize(3, 3), 4);
    QCOMPARE(blank.pixel(2, 2), qRgb(255, 255, 255));
}

KORVANE_TEST_GUILESS_MAIN(TestStretch)
#include "tst_drawingviewer_stretch.moc"
