#include "drawingviewer/dwgthumbnail.h"
#include "drawingviewer/form2.h"
#include "drawingviewer/frmseedwg.h"
#include "dwgsynth.h"
#include "platform/fakes/fakeservices.h"
#include "support/runs.h"
#include "support/samples.h"
#include "support/testtree.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <QtTest>

#include "support/testmain.h"
#include <memory>

using korvane::testsupport::waitForRuns;
using namespace korvane::drawingviewer;
using namespace korvane::drawingviewer::testing;
using korvane::platform::FakeServices;
using korvane::platform::FaultyFileSystem;
using korvane::platform::MessageIcon;

namespace {

const QString kNoPath = QStringLiteral("请先输入一个有效的文件路径!");
const QString kNoPreview = QStringLiteral("没有可供预览的DWG文件!");
const QString kNoSave = QStringLiteral("没有打开DWG文件,无法保存为位图!");

/// A 2004-style drawing with a 40 x 30 preview: white ground, a black diagonal.
QByteArray lineDrawing()
{
    QByteArray dib = makeDib(40, 30, 24);
    const qsizetype stride = 40 * 3;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const bool ink = qAbs(x - y * 4 / 3) <= 1;
            const char v = ink ? '\0' : char(0xFF);
            const qsizetype at = 40 + (29 - y) * stride + 3 * x;
            dib[at] = dib[at + 1] = dib[at + 2] = v;
        }
    SynthDrawing d;
    d.entries = {headerEntry(), {2, dib}};
    return d.build();
}

} // namespace

class TestFrmseedwg : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsEmptyWithModeBoxShowingTwo();

    void openNeedsAPath_data();
    void openNeedsAPath();
    void openShowsThePreview();
    void browseFillsTheBoxOnly();
    void modeBoxActsOnlyOnAPickedEntry();

    void tenZoomStepsInSinglePrecision();
    void scrollBarRuleAtDesignSize_data();
    void scrollBarRuleAtDesignSize();
    void panByValueOverMaximum();
    void wheelPansAndZooms();
    void openAndClearRestoreHome_data();
    void openAndClearRestoreHome();
    void zoomResizeClear();
    void zoomingWithoutBoundNeverBreaksTheWidget();

    void messagesWithNoDrawing();
    void clickOnEmptyDrawingDoesNothing();
    void previewWindowFromIconAndClick();
    void previewWindowOutlivesTheViewer();

    void saveWritesExactlyTheChosenName();
    void saveCancelledWritesNothing();
    void saveFailureIsReported();

    void realSamplesShow_data();
    void realSamplesShow();

private:
    Frmseedwg* window() { return m_window.get(); }
    DwgThumbnail* thumb() { return m_window->findChild<DwgThumbnail*>(QStringLiteral("DwgThumbnail1")); }
    QScrollBar* bar(const char* name) { return m_window->findChild<QScrollBar*>(QString::fromLatin1(name)); }
    QLineEdit* text1() { return m_window->findChild<QLineEdit*>(QStringLiteral("Text1")); }
    QString writeDrawing(const QByteArray& bytes, const QString& name = QStringLiteral("图纸.dwg"));
    void openDrawing(const QString& path);

    std::unique_ptr<FakeServices> m_fakes;
    std::unique_ptr<Frmseedwg> m_window;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestFrmseedwg::init()
{
    m_fakes = std::make_unique<FakeServices>();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_window = std::make_unique<Frmseedwg>(m_fakes->services());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestFrmseedwg::cleanup()
{
    delete Frmseedwg::previewWindow();
    m_window.reset();
    m_fakes.reset();
    m_dir.reset();
}

QString TestFrmseedwg::writeDrawing(const QByteArray& bytes, const QString& name)
{
    const QString path = m_dir->filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

void TestFrmseedwg::openDrawing(const QString& path)
{
    text1()->setText(path);
    window()->Command1_Click();
    QVERIFY(waitForRuns());
}

// ---- start state ---------------------------------------------------------------------------

void TestFrmseedwg::startsEmptyWithModeBoxShowingTwo()
{
    QCOMPARE(window()->windowTitle(), QStringLiteral("DWG文件查看器"));
    QCOMPARE(window()->objectName(), QStringLiteral("Frmseedwg"));
    auto* combo = window()->findChild<QComboBox*>(QStringLiteral("Combo1"));
    QCOMPARE(combo->currentText(), QStringLiteral("2"));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, (QStringList{"1", "2", "3", "4"}));
    QCOMPARE(window()->findChild<QLabel*>(QStringLiteral("Label1"))->text(), QStringLiteral("StretchBltMode"));
    QCOMPARE(window()->findChild<QLabel*>(QStringLiteral("Label2"))->text(), QStringLiteral("另存为BMP文件"));
    QCOMPARE(window()->findChild<QLabel*>(QStringLiteral("Image1"))->toolTip(), QStringLiteral("浏览"));
    QCOMPARE(thumb()->DwgFileName(), QString());
    QCOMPARE(window()->homeWidth(), 10335.0f);
    QCOMPARE(window()->homeHeight(), 6615.0f);
    QCOMPARE(window()->homeLeft(), 0.0f);
    QCOMPARE(window()->homeTop(), qint16(0));
}

// ---- open, browse, mode ------------------------------------------------------------------------

void TestFrmseedwg::openNeedsAPath_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("spaces") << QStringLiteral("    ");
}

void TestFrmseedwg::openNeedsAPath()
{
    QFETCH(QString, text);
    const QString path = writeDrawing(lineDrawing());
    openDrawing(path);
    window()->Picture1_Click();
    const QRectF before(thumb()->Left(), thumb()->Top(), thumb()->Width(), thumb()->Height());
    text1()->setText(text);
    window()->findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    QVERIFY(waitForRuns());
    QCOMPARE(m_fakes->messages.texts(), QStringList{kNoPath});
    QCOMPARE(m_fakes->messages.shown.first().icon, MessageIcon::Information);
    QCOMPARE(thumb()->DwgFileName(), path);
    QCOMPARE(QRectF(thumb()->Left(), thumb()->Top(), thumb()->Width(), thumb()->Height()), before);
}

void TestFrmseedwg::openShowsThePreview()
{
    const QString path = writeDrawing(lineDrawing());
    text1()->setText(QStringLiteral("  ") + path + QStringLiteral(" "));
    QTest::mouseClick(window()->findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
    QVERIFY(waitForRuns());
    QCOMPARE(thumb()->DwgFileName(), path); // trimmed
    QCOMPARE(thumb()->preview().size(), QSize(40, 30));
    // What the control paints is its picture: the preview stretched to fill it.
    const QImage shown = thumb()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown, thumb()->picture());
    QCOMPARE(shown.size(), QSize(689, 441));
    QCOMPARE(shown.pixel(0, 0), qRgb(0, 0, 0));         // the line starts top left
    QCOMPARE(shown.pixel(688, 0), qRgb(255, 255, 255)); // ground
}

void TestFrmseedwg::browseFillsTheBoxOnly()
{
    m_fakes->files.openAnswers.enqueue(QStringLiteral("/图纸/a b.dwg"));
    QTest::mouseClick(window()->findChild<QLabel*>(QStringLiteral("Image1")), Qt::LeftButton);
    QCOMPARE(m_fakes->files.openFilters, QStringList{QStringLiteral("AutoCAD文件|*.dwg|所有文件|*.*")});
    QCOMPARE(text1()->text(), QStringLiteral("/图纸/a b.dwg"));
    QCOMPARE(thumb()->DwgFileName(), QString()); // nothing opened until "打开"
    window()->Image1_Click();                    // cancelled: the box keeps its text
    QCOMPARE(text1()->text(), QStringLiteral("/图纸/a b.dwg"));
}

void TestFrmseedwg::modeBoxActsOnlyOnAPickedEntry()
{
    auto* combo = window()->findChild<QComboBox*>(QStringLiteral("Combo1"));
    QLineEdit* edit = combo->lineEdit();
    thumb()->setStretchBltMode(3);
    // Typed text, confirmed by Enter or by leaving the box, neither sets the mode nor adds an entry.
    for (const char* typed : {"4", "abc", "1"}) {
        edit->clear();
        QTest::keyClicks(edit, QString::fromLatin1(typed));
        QTest::keyClick(edit, Qt::Key_Return);
        emit edit->editingFinished();
    }
    QCOMPARE(thumb()->StretchBltMode(), 3);
    QCOMPARE(combo->count(), 4);
    combo->setCurrentIndex(3);
    emit combo->activated(3); // the user picks "4"
    QCOMPARE(thumb()->StretchBltMode(), 4);
    combo->setCurrentIndex(0);
    emit combo->activated(0);
    QCOMPARE(thumb()->StretchBltMode(), 1);
    QTest::keyClick(combo, Qt::Key_Down); // stepping through the list is picking
    QCOMPARE(thumb()->StretchBltMode(), 2);
}

// ---- zoom and pan ------------------------------------------------------------------------------

void TestFrmseedwg::tenZoomStepsInSinglePrecision()
{
    float w = thumb()->Width(), h = thumb()->Height();
    for (int i = 0; i < 10; ++i) {
        QTest::mouseClick(window()->findChild<QLabel*>(QStringLiteral("Picture1")), Qt::LeftButton);
        w = float(double(w) * 1.1);
        h = float(double(h) * 1.1);
    }
    QCOMPARE(thumb()->Width(), w);
    QCOMPARE(thumb()->Height(), h);
    QVERIFY(qAbs(thumb()->Width() / 10335.0 - 2.5937424601) < 1e-5);
    QCOMPARE(thumb()->width(), qRound(w / 15.0)); // the widget follows in pixels
    // Left and top stay: the picture grows right and down.
    QCOMPARE(thumb()->pos(), QPoint(0, 0));
    // A step in and a step out leave 0.99 of the size.
    const float before = thumb()->Width();
    window()->Picture1_Click();
    window()->Picture2_Click();
    QCOMPARE(thumb()->Width(), float(double(float(double(before) * 1.1)) * 0.9));
    QVERIFY(qAbs(thumb()->Width() / before - 0.99) < 1e-6);
}

void TestFrmseedwg::scrollBarRuleAtDesignSize_data()
{
    QTest::addColumn<bool>("zoomIn");
    QTest::addColumn<float>("width");
    QTest::addColumn<bool>("barsShown");
    // 11368.5 + 510 > 10575 shows; 9301.5 + 510 does not. Heights: 7276.5 and 5953.5 against 6855.
    QTest::newRow("in") << true << 11368.5f << true;
    QTest::newRow("out") << false << 9301.5f << false;
}

void TestFrmseedwg::scrollBarRuleAtDesignSize()
{
    QFETCH(bool, zoomIn);
    QFETCH(float, width);
    QFETCH(bool, barsShown);
    // Start from the opposite state, so the step must change it.
    bar("HScroll1")->setVisible(!barsShown);
    bar("VScroll1")->setVisible(!barsShown);
    bar("HScroll1")->setValue(37);
    if (zoomIn)
        window()->Picture1_Click();
    else
        window()->Picture2_Click();
    QCOMPARE(thumb()->Width(), width);
    QCOMPARE(bar("HScroll1")->isVisible(), barsShown);
    QCOMPARE(bar("VScroll1")->isVisible(), barsShown);
    QCOMPARE(bar("HScroll1")->value(), 37); // positions are not changed
}

void TestFrmseedwg::panByValueOverMaximum()
{
    openDrawing(writeDrawing(lineDrawing()));
    window()->Picture1_Click();
    window()->Picture1_Click();
    QScrollBar* h = bar("HScroll1");
    QScrollBar* v = bar("VScroll1");
    QVERIFY(h->maximum() > 0 && h->minimum() == 0);
    h->setValue(h->maximum());
    QCOMPARE(thumb()->Left(), window()->homeLeft() - thumb()->Width()); // a whole width to the left
    v->setValue(v->maximum());
    QCOMPARE(thumb()->Top(), float(window()->homeTop()) - thumb()->Height());
    h->setValue(h->maximum() / 4);
    QCOMPARE(thumb()->Left(), window()->homeLeft() - thumb()->Width() * float(h->maximum() / 4) / float(h->maximum()));
    QCOMPARE(thumb()->x(), qRound(thumb()->Left() / 15.0));
    h->setValue(0);
    v->setValue(0);
    QCOMPARE(thumb()->pos(), QPoint(0, 0));
    // A click in the track pans too.
    QTest::mouseClick(h, Qt::LeftButton, {}, QPoint(h->width() - 30, h->height() / 2));
    QVERIFY(h->value() > 0);
    QVERIFY(thumb()->Left() < window()->homeLeft());
}

void TestFrmseedwg::wheelPansAndZooms()
{
    openDrawing(writeDrawing(lineDrawing()));
    const auto wheel = [this](QPoint delta, Qt::KeyboardModifiers modifiers) {
        const QPointF at(thumb()->width() / 2.0, thumb()->height() / 2.0);
        QWheelEvent event(at, thumb()->mapToGlobal(at), {}, delta, Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(thumb(), &event);
    };
    // Ctrl: a notch is a zoom step, half notches add up; nothing to pan before the bars show.
    const float home = thumb()->Width();
    wheel({0, 120}, Qt::ControlModifier);
    QCOMPARE(thumb()->Width(), float(double(home) * 1.1));
    wheel({0, -60}, Qt::ControlModifier);
    wheel({0, -60}, Qt::ControlModifier);
    QCOMPARE(thumb()->Width(), float(double(float(double(home) * 1.1)) * 0.9));
    wheel({0, -120}, Qt::NoModifier);
    QCOMPARE(thumb()->Left(), window()->homeLeft());
    for (int i = 0; i < 3; ++i)
        window()->Picture1_Click();
    // Down pans down, Shift or a sideways wheel pans sideways.
    wheel({0, -120}, Qt::NoModifier);
    QVERIFY(bar("VScroll1")->value() > 0 && bar("HScroll1")->value() == 0);
    QVERIFY(thumb()->Top() < float(window()->homeTop()));
    wheel({0, -120}, Qt::ShiftModifier);
    wheel({-120, 0}, Qt::NoModifier);
    QVERIFY(bar("HScroll1")->value() > 0);
    QVERIFY(thumb()->Left() < window()->homeLeft());
}

void TestFrmseedwg::openAndClearRestoreHome_data()
{
    QTest::addColumn<bool>("clear");
    QTest::newRow("打开") << false;
    QTest::newRow("清屏") << true;
}

void TestFrmseedwg::openAndClearRestoreHome()
{
    QFETCH(bool, clear);
    const QString path = writeDrawing(lineDrawing());
    openDrawing(path);
    for (int i = 0; i < 3; ++i)
        window()->Picture1_Click();
    bar("HScroll1")->setValue(60);
    bar("VScroll1")->setValue(30);
    QVERIFY(thumb()->Left() < 0 && thumb()->Top() < 0);
    if (clear)
        window()->findChild<QPushButton*>(QStringLiteral("Command3"))->click();
    else
        window()->findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    QVERIFY(waitForRuns());
    QCOMPARE(thumb()->Width(), 10335.0f);
    QCOMPARE(thumb()->Height(), 6615.0f);
    QCOMPARE(thumb()->Left(), 0.0f);
    QCOMPARE(thumb()->Top(), 0.0f);
    QCOMPARE(thumb()->DwgFileName(), clear ? QString() : path);
    // The bars stay where they were, shown and scrolled.
    QVERIFY(bar("HScroll1")->isVisible() && bar("VScroll1")->isVisible());
    QCOMPARE(bar("HScroll1")->value(), 60);
    QCOMPARE(bar("VScroll1")->value(), 30);
    if (clear) {
        const QImage shown = thumb()->grab().toImage();
        QCOMPARE(shown.pixel(0, 0), qRgb(255, 255, 255)); // the display is empty again
    }
}

void TestFrmseedwg::zoomResizeClear()
{
    openDrawing(writeDrawing(lineDrawing()));
    window()->Picture1_Click();
    window()->Picture1_Click();
    const float zoomedW = thumb()->Width(), zoomedH = thumb()->Height();
    bar("HScroll1")->setValue(50);
    window()->resize(window()->width() + 40, window()->height() + 20);
    QTRY_COMPARE(window()->homeWidth(), zoomedW);
    QCOMPARE(window()->homeHeight(), zoomedH);
    window()->Command3_Click();
    QCOMPARE(thumb()->Width(), zoomedW);
    QCOMPARE(thumb()->Height(), zoomedH);
    QCOMPARE(thumb()->Left(), 0.0f);
    QCOMPARE(thumb()->Top(), 0.0f);
    // Nothing else follows the resize.
    QCOMPARE(window()->findChild<QWidget*>(QStringLiteral("Picture3"))->size(), QSize(705, 457));
}

void TestFrmseedwg::zoomingWithoutBoundNeverBreaksTheWidget()
{
    openDrawing(writeDrawing(lineDrawing()));
    for (int i = 0; i < 1000; ++i) // single precision overflows to infinity long before this
        window()->Picture1_Click();
    QVERIFY(qIsInf(thumb()->Width()));
    QCOMPARE(thumb()->width(), QWIDGETSIZE_MAX);
    bar("HScroll1")->setValue(10);
    thumb()->repaint();
    QVERIFY(thumb()->picture().isNull()); // too large to hold, reported as no picture
    window()->Command3_Click();
    QCOMPARE(thumb()->size(), QSize(689, 441));
    for (int i = 0; i < 3000; ++i) // down to zero
        window()->Picture2_Click();
    QCOMPARE(thumb()->Width(), 0.0f);
    QCOMPARE(thumb()->size(), QSize(0, 0));
    thumb()->repaint();
    QVERIFY(thumb()->picture().isNull());
}

// ---- messages and the preview window -----------------------------------------------------------

void TestFrmseedwg::messagesWithNoDrawing()
{
    QTest::mouseClick(window()->findChild<QLabel*>(QStringLiteral("Image2")), Qt::LeftButton);
    QTest::mouseClick(window()->findChild<QLabel*>(QStringLiteral("Label2")), Qt::LeftButton);
    window()->Command1_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(m_fakes->messages.texts(), (QStringList{kNoPreview, kNoSave, kNoPath}));
    for (const auto& shown : m_fakes->messages.shown)
        QCOMPARE(shown.icon, MessageIcon::Information);
    QVERIFY(!Frmseedwg::previewWindow());
    QVERIFY(m_fakes->files.saveFilters.isEmpty()); // no dialog before the message
}

void TestFrmseedwg::clickOnEmptyDrawingDoesNothing()
{
    QTest::mouseClick(thumb(), Qt::LeftButton, {}, QPoint(20, 20));
    QVERIFY(!Frmseedwg::previewWindow());
    QVERIFY(m_fakes->messages.shown.isEmpty());
}

void TestFrmseedwg::previewWindowFromIconAndClick()
{
    openDrawing(writeDrawing(lineDrawing()));
    window()->Picture2_Click(); // a smaller picture, so stretching is visible
    const QImage picture = thumb()->picture();
    QCOMPARE(picture.size(), thumb()->size());

    QTest::mouseClick(window()->findChild<QLabel*>(QStringLiteral("Image2")), Qt::LeftButton);
    Form2* form = Frmseedwg::previewWindow();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(!form->parentWidget()); // no owner
    QCOMPARE(form->windowTitle(), QStringLiteral("预览"));
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
    QCOMPARE(form->size(), QSize(665, 491));
    QCOMPARE(form->image1Picture(), picture);
    auto* image1 = form->findChild<QLabel*>(QStringLiteral("Image1"));
    QCOMPARE(image1->geometry(), QRect(0, 0, 665, 489));
    QVERIFY(image1->hasScaledContents());
    // Centred over the viewer when loaded.
    const QRect viewer = window()->frameGeometry();
    QVERIFY(qAbs(form->frameGeometry().center().x() - viewer.center().x()) <= 1);
    QVERIFY(qAbs(form->frameGeometry().center().y() - viewer.center().y()) <= 1);

    // A click on the drawing sets the background picture of the same window.
    form->move(form->pos() + QPoint(33, 17));
    const QPoint moved = form->pos();
    QTest::mouseClick(thumb(), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(Frmseedwg::previewWindow(), form);
    QCOMPARE(form->backgroundPicture(), picture);
    QCOMPARE(form->pos(), moved);             // not centred again while open
    QCOMPARE(form->image1Picture(), picture); // Image1 still covers the background

    // Background alone: drawn at its natural size from the top left.
    form->setImage1Picture(QImage());
    const QImage painted = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(painted.copy(QRect(QPoint(0, 0), picture.size())), picture);
}

void TestFrmseedwg::previewWindowOutlivesTheViewer()
{
    openDrawing(writeDrawing(lineDrawing()));
    window()->Image2_Click();
    QPointer<Form2> form = Frmseedwg::previewWindow();
    QVERIFY(form);
    window()->findChild<QPushButton*>(QStringLiteral("Command4"))->click();
    QVERIFY(!window()->isVisible());
    QVERIFY(form && form->isVisible());
    form->close(); // deleted on close; the next showing loads it afresh
    QTRY_VERIFY(!form);
    QVERIFY(!Frmseedwg::previewWindow());
}

// ---- saving ----------------------------------------------------------------------------------

void TestFrmseedwg::saveWritesExactlyTheChosenName()
{
    openDrawing(writeDrawing(lineDrawing()));
    window()->Picture1_Click();
    thumb()->setStretchBltMode(4);
    const QString target = m_dir->filePath(QStringLiteral("预览图")); // no extension
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old contents") > 0);
    old.close();
    m_fakes->files.saveAnswers.enqueue(target);
    QTest::mouseClick(window()->findChild<QLabel*>(QStringLiteral("Label2")), Qt::LeftButton);
    QCOMPARE(m_fakes->files.saveFilters, QStringList{QStringLiteral("位图文件|*.bmp|所有文件|*.*")});
    QVERIFY(m_fakes->messages.shown.isEmpty());
    QVERIFY(!QFile::exists(target + QStringLiteral(".bmp")));
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray bytes = saved.readAll();
    QCOMPARE(bytes.left(2), QByteArray("BM")); // a Windows bitmap, replacing the old file
    const QImage back = QImage::fromData(bytes, "BMP").convertToFormat(QImage::Format_RGB32);
    QCOMPARE(back, thumb()->picture());
    QCOMPARE(back.size(), thumb()->size());
}

void TestFrmseedwg::saveCancelledWritesNothing()
{
    openDrawing(writeDrawing(lineDrawing()));
    window()->Label2_Click();
    QCOMPARE(m_fakes->files.saveFilters.size(), 1);
    QVERIFY(m_fakes->fs.pathsOf(FaultyFileSystem::Op::WriteFile).isEmpty());
    QVERIFY(m_fakes->messages.shown.isEmpty());
}

void TestFrmseedwg::saveFailureIsReported()
{
    openDrawing(writeDrawing(lineDrawing()));
    const QString target = m_dir->filePath(QStringLiteral("out.bmp"));
    m_fakes->fs.failOn(FaultyFileSystem::Op::WriteFile, QFile::encodeName(target));
    m_fakes->files.saveAnswers.enqueue(target);
    window()->Label2_Click();
    QCOMPARE(m_fakes->messages.texts(), QStringList{QStringLiteral("无法保存位图文件!")});
    QVERIFY(!QFile::exists(target));
}

// ---- real drawings -----------------------------------------------------------------------------

void TestFrmseedwg::realSamplesShow_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hasPreview");
    QTest::addColumn<quint32>("flags"); // set in a copy
    QTest::addColumn<QString>("notice");
    QTest::newRow("2004 bmp") << "r2004_bmp_line.dwg" << true << 0u << "";
    QTest::newRow("2018 png") << "r2018_png_sample.dwg" << true << 0u << "";
    QTest::newRow("2018 header only") << "r2018_headeronly_line.dwg" << false << 0u << "此图纸没有保存预览图";
    QTest::newRow("R12") << "r11_nopreview_entities2d.dwg" << false << 0u << "此图纸没有保存预览图";
    QTest::newRow("R2000 cut in its preview") << "odd_r2000_truncated_in_bmp.dwg" << false << 0u << "图纸的预览已损坏";
    // Flags with nothing encrypted behind them are damaged flags: the preview is shown.
    QTest::newRow("2004, flags alone") << "r2004_bmp_line.dwg" << true << 2u << "";
}

void TestFrmseedwg::realSamplesShow()
{
    QFETCH(QString, name);
    QFETCH(bool, hasPreview);
    QFETCH(quint32, flags);
    QFETCH(QString, notice);
    QString path = korvane::testsupport::sampleFile(QStringLiteral("dwg"), name);
    if (path.isEmpty())
        QSKIP(korvane::testsupport::missingSamples(QStringLiteral("dwg"), name));
    if (flags) {
        QByteArray bytes = korvane::testsupport::bytesOf(path);
        putLe32(bytes, 0x18, flags);
        path = writeDrawing(bytes);
    }
    openDrawing(path);
    QCOMPARE(thumb()->DwgFileName(), path);
    QCOMPARE(thumb()->preview().isNull(), !hasPreview);
    QCOMPARE(thumb()->notice(), notice);
    const QImage shown = thumb()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QImage white(shown.size(), QImage::Format_RGB32);
    white.fill(Qt::white);
    QCOMPARE(shown == white, false); // a picture, or what stands in its place
    // Even without a preview the drawing counts as open: preview and save work.
    window()->Image2_Click();
    QVERIFY(Frmseedwg::previewWindow());
    QVERIFY(m_fakes->messages.shown.isEmpty());
}

KORVANE_TEST_MAIN(TestFrmseedwg)
#include "tst_drawingviewer_frmseedwg.moc"
