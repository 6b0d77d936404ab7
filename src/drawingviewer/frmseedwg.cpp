#include "drawingviewer/frmseedwg.h"

#include "drawingviewer/dwgpreview.h"
#include "drawingviewer/dwgthumbnail.h"
#include "drawingviewer/form2.h"
#include "drawingviewer/icons.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/clickablelabel.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"
#include "platform/widgets/windowroles.h"

#include <QBuffer>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QWheelEvent>

#include <cmath>

namespace korvane::drawingviewer {

using platform::ClickableLabel;
using platform::makeNamed;
using platform::MessageIcon;
using platform::twips;

namespace {

constexpr float kTwipsPerPixel = 15.0f;
// Pan positions: only value / maximum matters.
constexpr int kScrollMaximum = 100;

QPointer<Form2>& form2Instance()
{
    static QPointer<Form2> instance;
    return instance;
}

float twipsOf(int pixels)
{
    return float(pixels) * kTwipsPerPixel;
}

/// Like the original's Trim: spaces only, not tabs or line breaks.
QString trimSpaces(const QString& text)
{
    qsizetype from = 0, to = text.size();
    while (from < to && text.at(from) == QLatin1Char(' '))
        ++from;
    while (to > from && text.at(to - 1) == QLatin1Char(' '))
        --to;
    return text.mid(from, to - from);
}

ClickableLabel* addPicture(QWidget* parent, const char* name, const QPixmap& pixmap, int l, int t)
{
    auto* picture = makeNamed<ClickableLabel>(parent, name, {l, t, 480, 480});
    picture->setPixmap(pixmap);
    picture->setAlignment(Qt::AlignCenter);
    picture->setCursor(Qt::PointingHandCursor);
    return picture;
}

QScrollBar* addScrollBar(QWidget* parent, const char* name, Qt::Orientation orientation, platform::TwipsRect at)
{
    auto* bar = makeNamed<QScrollBar>(parent, name, at);
    bar->setOrientation(orientation);
    bar->setRange(0, kScrollMaximum);
    bar->setSingleStep(1);
    bar->setPageStep(10);
    return bar;
}

} // namespace

Frmseedwg::Frmseedwg(platform::Services& services, QWidget* parent)
    : QWidget(parent, Qt::Window), m_services(services), m_run(new platform::BackgroundRun(this, services.messages))
{
    setObjectName(QStringLiteral("Frmseedwg"));
    setWindowTitle(QStringLiteral("DWG文件查看器"));
    resize(twips(10605), twips(8445));

    buildDrawingArea();
    buildModeBox();
    buildCommands();

    Form_Load();
}

Frmseedwg::~Frmseedwg()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

/// The white picture box with the drawing control and its scroll bars.
void Frmseedwg::buildDrawingArea()
{
    m_picture3 = makeNamed<QWidget>(this, "Picture3", {0, 0, 10575, 6855});
    m_picture3->setAutoFillBackground(true);
    QPalette white = m_picture3->palette();
    white.setColor(QPalette::Window, Qt::white);
    m_picture3->setPalette(white);

    m_dwgThumbnail1 = new DwgThumbnail(m_picture3);
    m_dwgThumbnail1->setObjectName(QStringLiteral("DwgThumbnail1"));
    m_dwgThumbnail1->setCursor(Qt::PointingHandCursor);
    m_dwgThumbnail1->setLeft(0);
    m_dwgThumbnail1->setTop(0);
    m_dwgThumbnail1->setWidth(10335);
    m_dwgThumbnail1->setHeight(6615);
    // Created after the drawing control, so they lie above it. Hidden until a zoom step
    // decides: at the start the whole picture is in view.
    m_vScroll1 = addScrollBar(m_picture3, "VScroll1", Qt::Vertical, {10320, 0, 255, 6615});
    m_vScroll1->hide();
    m_hScroll1 = addScrollBar(m_picture3, "HScroll1", Qt::Horizontal, {0, 6600, 10575, 255});
    m_hScroll1->hide();

    connect(m_hScroll1, &QScrollBar::valueChanged, this, &Frmseedwg::HScroll1_Change);
    connect(m_vScroll1, &QScrollBar::valueChanged, this, &Frmseedwg::VScroll1_Change);
    connect(m_dwgThumbnail1, &DwgThumbnail::Click, this, &Frmseedwg::DwgThumbnail1_Click);
    for (QWidget* area : {static_cast<QWidget*>(m_picture3), static_cast<QWidget*>(m_dwgThumbnail1)})
        area->installEventFilter(this); // the wheel over the drawing or the white around it
}

/// "StretchBltMode" and its box.
void Frmseedwg::buildModeBox()
{
    auto* label1 = new QLabel(QStringLiteral("StretchBltMode"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    // Sized to its caption, which is wider in this font than the design allows: grow to the
    // left so the mode box beside it does not cover the text.
    label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label1->adjustSize();
    label1->move(twips(1320 + 1260) - label1->width(), twips(7170) + (twips(180) - label1->height()) / 2);

    m_combo1 = new QComboBox(this);
    m_combo1->setObjectName(QStringLiteral("Combo1"));
    m_combo1->setEditable(true);
    // Typed text sets nothing and adds nothing: only picking an entry (list or arrow keys)
    // raises the click. Qt would otherwise activate a matching entry on Enter, on leaving
    // the box, or through its completer, and insert unknown text as a new entry.
    m_combo1->setInsertPolicy(QComboBox::NoInsert);
    m_combo1->setCompleter(nullptr);
    disconnect(m_combo1->lineEdit(), &QLineEdit::returnPressed, m_combo1, nullptr);
    disconnect(m_combo1->lineEdit(), &QLineEdit::editingFinished, m_combo1, nullptr);
    m_combo1->setGeometry(twips(2640), twips(7110), twips(510), m_combo1->sizeHint().height());
    m_combo1->setMinimumContentsLength(1);

    connect(m_combo1, &QComboBox::activated, this, &Frmseedwg::Combo1_Click);
}

/// The path box, the buttons and the picture commands below the drawing.
void Frmseedwg::buildCommands()
{
    m_text1 = makeNamed<QLineEdit>(this, "Text1", {3240, 7080, 2055, 375});
    platform::takePathDrops(m_text1);

    auto* image1 = addPicture(this, "Image1", browseIcon(), 5280, 7020);
    image1->setToolTip(QStringLiteral("浏览"));
    auto* open = makeNamed<QPushButton>(this, "Command1", QStringLiteral("打开"), {5880, 7080, 972, 372});
    auto* clear = makeNamed<QPushButton>(this, "Command3", QStringLiteral("清屏"), {7200, 7080, 972, 372});
    auto* zoomOut = addPicture(this, "Picture2", zoomOutIcon(), 3840, 7740);
    zoomOut->setToolTip(QStringLiteral("缩小"));
    auto* zoomIn = addPicture(this, "Picture1", zoomInIcon(), 4680, 7740);
    zoomIn->setToolTip(QStringLiteral("放大"));
    auto* image2 = addPicture(this, "Image2", previewIcon(), 5520, 7740);
    image2->setScaledContents(true);
    image2->setToolTip(QStringLiteral("浏览"));

    auto* label2 = makeNamed<ClickableLabel>(this, "Label2", QStringLiteral("另存为BMP文件"), {6810, 7875, 1365, 210});
    QFont link = label2->font();
    link.setUnderline(true);
    label2->setFont(link);
    QPalette blue = label2->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    label2->setPalette(blue);
    label2->setCursor(Qt::PointingHandCursor);
    label2->adjustSize();
    label2->move(twips(6810), twips(7875) + (twips(210) - label2->height()) / 2);

    auto* quit = makeNamed<QPushButton>(this, "Command4", QStringLiteral("退出"), {8880, 7794, 972, 372});

    connect(image1, &ClickableLabel::clicked, this, &Frmseedwg::Image1_Click);
    connect(open, &QPushButton::clicked, this, &Frmseedwg::Command1_Click);
    connect(clear, &QPushButton::clicked, this, &Frmseedwg::Command3_Click);
    connect(quit, &QPushButton::clicked, this, &Frmseedwg::Command4_Click);
    connect(zoomIn, &ClickableLabel::clicked, this, &Frmseedwg::Picture1_Click);
    connect(zoomOut, &ClickableLabel::clicked, this, &Frmseedwg::Picture2_Click);
    connect(image2, &ClickableLabel::clicked, this, &Frmseedwg::Image2_Click);
    connect(label2, &ClickableLabel::clicked, this, &Frmseedwg::Label2_Click);
}

Form2* Frmseedwg::previewWindow()
{
    return form2Instance().data();
}

void Frmseedwg::Form_Load()
{
    m_homeWidth = m_dwgThumbnail1->Width();
    m_homeHeight = m_dwgThumbnail1->Height();
    m_homeLeft = m_dwgThumbnail1->Left();
    // Kept as a whole twip, rounded half to even like the original's integer conversion.
    m_homeTop = qint16(std::clamp(std::nearbyint(double(m_dwgThumbnail1->Top())), -32768.0, 32767.0));
    for (const char* mode : {"1", "2", "3", "4"})
        m_combo1->addItem(QString::fromLatin1(mode));
    m_combo1->setCurrentIndex(1); // shows "2"; sets nothing until the user picks an entry
}

void Frmseedwg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

bool Frmseedwg::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == m_picture3 || watched == m_dwgThumbnail1) && event->type() == QEvent::Wheel) {
        Picture3_Wheel(static_cast<QWheelEvent*>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void Frmseedwg::Picture3_Wheel(QWheelEvent* event)
{
    const QPoint delta = event->angleDelta();
    if (event->modifiers() & Qt::ControlModifier) {
        // 120 is one notch; a touchpad sends smaller steps, which add up to one.
        m_wheelZoom += delta.y();
        for (; m_wheelZoom >= 120; m_wheelZoom -= 120)
            Picture1_Click();
        for (; m_wheelZoom <= -120; m_wheelZoom += 120)
            Picture2_Click();
        return;
    }
    const bool sideways = delta.x() != 0 || (event->modifiers() & Qt::ShiftModifier);
    QScrollBar* bar = sideways || !m_vScroll1->isVisible() ? m_hScroll1 : m_vScroll1;
    if (bar->isVisible())
        QCoreApplication::sendEvent(bar, event); // the bar's own wheel handling, and its Change
}

void Frmseedwg::openHanded(const QString& path)
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    platform::bringToFront(this);
    m_text1->setText(path);
    Command1_Click();
}

void Frmseedwg::Form_Resize()
{
    m_homeWidth = m_dwgThumbnail1->Width();
    m_homeHeight = m_dwgThumbnail1->Height();
}

void Frmseedwg::Combo1_Click()
{
    m_dwgThumbnail1->setStretchBltMode(m_combo1->currentText().trimmed().toInt());
}

void Frmseedwg::Image1_Click()
{
    const QString chosen = m_services.files.openFile(this, QStringLiteral("AutoCAD文件|*.dwg|所有文件|*.*"));
    if (!chosen.isEmpty())
        m_text1->setText(chosen);
}

void Frmseedwg::restoreHome()
{
    m_dwgThumbnail1->setWidth(m_homeWidth);
    m_dwgThumbnail1->setHeight(m_homeHeight);
    m_dwgThumbnail1->setLeft(m_homeLeft);
    m_dwgThumbnail1->setTop(m_homeTop);
}

void Frmseedwg::Command1_Click()
{
    const QString path = trimSpaces(m_text1->text());
    if (path.isEmpty()) {
        m_services.messages.show(this, QStringLiteral("请先输入一个有效的文件路径!"), MessageIcon::Information);
        return;
    }
    const bool started = m_run->start(
        QStringLiteral("正在读取预览图…"),
        [path](platform::RunControl& control) { return loadPreview(path, &control); },
        [this, path](const LoadedPreview& preview) {
            if (m_run->stopped()) {
                m_services.messages.show(this, platform::cancelledText(0, 1), MessageIcon::Information);
                return;
            }
            restoreHome();
            m_dwgThumbnail1->setDwgFileName(path, preview);
        });
    Q_ASSERT(started); // the buttons that start one are disabled during a run
}

void Frmseedwg::Command3_Click()
{
    restoreHome();
    m_dwgThumbnail1->setDwgFileName(QString());
}

void Frmseedwg::Command4_Click()
{
    close();
}

void Frmseedwg::zoom(double factor)
{
    m_dwgThumbnail1->setWidth(float(double(m_dwgThumbnail1->Width()) * factor));
    m_dwgThumbnail1->setHeight(float(double(m_dwgThumbnail1->Height()) * factor));
    const float width = m_dwgThumbnail1->Width();
    m_hScroll1->setVisible(width + 2 * twipsOf(m_vScroll1->width()) > twipsOf(m_picture3->width()));
    const float height = m_dwgThumbnail1->Height();
    m_vScroll1->setVisible(height + 2 * twipsOf(m_hScroll1->height()) > twipsOf(m_picture3->height()));
}

void Frmseedwg::Picture1_Click()
{
    zoom(1.1);
}

void Frmseedwg::Picture2_Click()
{
    zoom(0.9);
}

void Frmseedwg::HScroll1_Change()
{
    m_dwgThumbnail1->setLeft(m_homeLeft -
                             m_dwgThumbnail1->Width() * float(m_hScroll1->value()) / float(m_hScroll1->maximum()));
}

void Frmseedwg::VScroll1_Change()
{
    m_dwgThumbnail1->setTop(float(m_homeTop) -
                            m_dwgThumbnail1->Height() * float(m_vScroll1->value()) / float(m_vScroll1->maximum()));
}

Form2* Frmseedwg::showForm2()
{
    QPointer<Form2>& form = form2Instance();
    if (!form) {
        form = new Form2(this);
        form->setAttribute(Qt::WA_DeleteOnClose);
    }
    form->show();
    form->raise();
    form->activateWindow();
    return form;
}

void Frmseedwg::Image2_Click()
{
    if (m_dwgThumbnail1->DwgFileName().isEmpty()) {
        m_services.messages.show(this, QStringLiteral("没有可供预览的DWG文件!"), MessageIcon::Information);
        return;
    }
    showForm2()->setImage1Picture(m_dwgThumbnail1->picture());
}

void Frmseedwg::DwgThumbnail1_Click()
{
    if (m_dwgThumbnail1->DwgFileName().isEmpty())
        return;
    showForm2()->setBackgroundPicture(m_dwgThumbnail1->picture());
}

void Frmseedwg::Label2_Click()
{
    if (m_dwgThumbnail1->DwgFileName().isEmpty()) {
        m_services.messages.show(this, QStringLiteral("没有打开DWG文件,无法保存为位图!"), MessageIcon::Information);
        return;
    }
    const QString name = m_services.files.saveFile(this, QStringLiteral("位图文件|*.bmp|所有文件|*.*"));
    if (name.isEmpty())
        return;
    // Exactly the chosen name: no extension is added; an existing file is replaced, but only
    // once the whole bitmap is written.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const QImage picture = m_dwgThumbnail1->picture();
    if (picture.isNull() || !picture.save(&buffer, "BMP") ||
        !m_services.fs.writeFile(QFile::encodeName(name), bytes).ok())
        m_services.messages.show(this, QStringLiteral("无法保存位图文件!"), MessageIcon::Information);
}

} // namespace korvane::drawingviewer
