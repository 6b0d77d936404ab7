#pragma once

#include <functional>

class QFont;
class QString;
class QWidget;

namespace korvane::platform {

/// Design sizes are in twips; 15 twips make a pixel at 96 dpi.
constexpr int twips(int value)
{
    return value / 15;
}

/// Places `window` with its centre over `owner`'s centre (outer frames). Does nothing without owner.
void centerOver(QWidget* window, const QWidget* owner);
/// centerOver(), and once more when the window manager has framed the window after its first
/// showing (a window centred before it has a frame sits half a title bar low).
void centerOverWhenFramed(QWidget* window, const QWidget* owner);
/// Runs `action` once the window manager has drawn `window`'s frame after it was shown (at most a
/// second later; never where there is no frame, as offscreen).
void onceFramed(QWidget* window, std::function<void()> action);
/// Moves `window` by as little as needed for its outer frame to lie inside the available area of
/// its screen (panels excluded); where it is larger, its top-left corner stays on the screen.
/// Before the first showing the frame is not known and only the client area is kept inside.
void keepOnScreen(QWidget* window);
/// Places `window` at `owner`'s left and top edges (outer frames).
void alignWithTopLeft(QWidget* window, const QWidget* owner);
/// A control's left, top, width and height in twips, as the design gives them.
struct TwipsRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

/// Gives a control its control name and sets its geometry from twips (the work of makeNamed()).
void nameAndPlace(QWidget* widget, const char* name, TwipsRect at);

/// Creates a control of type `T` on `parent` with its control name and its geometry from twips:
/// the one way a form's controls are made. A push button is never an auto-default button: Enter
/// in a text box must not press it.
template <typename T> T* makeNamed(QWidget* parent, const char* name, TwipsRect at)
{
    auto* control = new T(parent);
    if constexpr (requires { control->setAutoDefault(false); })
        control->setAutoDefault(false);
    nameAndPlace(control, name, at);
    return control;
}

/// makeNamed() for a control with a caption or text (button, check box, label, text box).
template <typename T> T* makeNamed(QWidget* parent, const char* name, const QString& caption, TwipsRect at)
{
    T* control = makeNamed<T>(parent, name, at);
    if constexpr (requires { control->setText(caption); })
        control->setText(caption);
    else if constexpr (requires { control->setPlainText(caption); })
        control->setPlainText(caption);
    else
        static_assert(sizeof(T) == 0, "this control has no caption: leave the caption out");
    return control;
}

/// The forms' face: 宋体 at `points` (9 unless told), sized in pixels for the 96 dpi the twips are
/// drawn for, so that text keeps its proportion to the controls whatever the desktop's default.
QFont formFont(double points = 9);

} // namespace korvane::platform
