#pragma once

#include <QPointer>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;

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
    void Combo1_Click();
    void Image1_Click();
    void Command1_Click();
    void Command3_Click();
    void Command4_Click();
    void Picture1_Click();
    void Picture2_Click();
    void HScroll1_Change();
    void VScroll1_Change();
    void Image2_Click();
    void DwgThumbnail1_Click();
    void Label2_Click();

protected:
    void resizeEvent(QResizeEvent* event) override;

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
    QWidget* m_picture3;
    DwgThumbnail* m_dwgThumbnail1;
    QScrollBar* m_vScroll1;
    QScrollBar* m_hScroll1;
    QComboBox* m_combo1;
    QLineEdit* m_text1;

    float m_homeWidth = 0;
    float m_homeHeight = 0;
    float m_homeLeft = 0;
    qint16 m_homeTop = 0;
};

} // namespace korvane::drawingviewer
