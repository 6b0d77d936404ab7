#pragma once

#include <QPointer>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QWheelEvent;

namespace korvane::platform {
class BackgroundRun;
struct Services;
class ClickableLabel;
} // namespace korvane::platform

namespace korvane::drawingviewer {

class DwgThumbnail;
class Form2;

/// "DWG文件查看器": opens a drawing's preview, zooms and pans it, shows it in the preview
/// window and saves it as a bitmap.
class Frmseedwg : public QWidget {
    Q_OBJECT
public:
    explicit Frmseedwg(platform::Services& services, QWidget* parent = nullptr);
    ~Frmseedwg() override;

    /// The preview window while it is open (it is shared and outlives the viewer), else null.
    static Form2* previewWindow();

    // The home rectangle, in twips.
    float homeWidth() const { return m_homeWidth; }
    float homeHeight() const { return m_homeHeight; }
    float homeLeft() const { return m_homeLeft; }
    qint16 homeTop() const { return m_homeTop; }

    // Handlers, public so that tests drive them as a click would.
    /// StretchBltMode: draws the preview with the chosen mode.
    void Combo1_Click();
    /// 浏览: puts the chosen drawing into Text1.
    void Image1_Click();
    /// 打开: shows the preview of the drawing named in Text1.
    void Command1_Click();
    /// 清屏: clears the drawing area and restores the home size.
    void Command3_Click();
    /// 退出: closes the window.
    void Command4_Click();
    /// 放大: zooms in.
    void Picture1_Click();
    /// 缩小: zooms out.
    void Picture2_Click();
    /// Pans the zoomed preview sideways.
    void HScroll1_Change();
    /// Pans the zoomed preview up and down.
    void VScroll1_Change();
    /// 浏览 (preview): shows the preview in the preview window.
    void Image2_Click();
    /// A click on the preview: shows it as the preview window's background.
    void DwgThumbnail1_Click();
    /// 另存为BMP文件: saves the preview as a bitmap.
    void Label2_Click();
    /// The wheel over the drawing: pans it as the scroll bars do (sideways with Shift or a
    /// sideways wheel); with Ctrl it zooms as 放大 and 缩小 do, one step a notch.
    void Picture3_Wheel(QWheelEvent* event);

    /// A drawing handed over by another start of Korvane: the window comes to the front (past
    /// the window manager's focus-stealing rules) and opens it.
    void openHanded(const QString& path);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildDrawingArea();
    void buildModeBox();
    void buildCommands();
    void Form_Load();
    void Form_Resize();
    void restoreHome();
    void zoom(double factor);
    Form2* showForm2();

    platform::Services& m_services;
    platform::BackgroundRun* m_run;
    QWidget* m_picture3;           ///< the white drawing area
    DwgThumbnail* m_dwgThumbnail1; ///< the drawing's preview
    QScrollBar* m_vScroll1;        ///< pans up and down once zoomed
    QScrollBar* m_hScroll1;        ///< pans sideways once zoomed
    QComboBox* m_combo1;           ///< StretchBltMode, 1 to 4
    QLineEdit* m_text1;            ///< the drawing's path

    float m_homeWidth = 0;
    float m_homeHeight = 0;
    float m_homeLeft = 0;
    qint16 m_homeTop = 0;
    int m_wheelZoom = 0; ///< wheel steps towards the next zoom notch
};

} // namespace korvane::drawingviewer
