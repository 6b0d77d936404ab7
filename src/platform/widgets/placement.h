#pragma once

#include <functional>

class QPushButton;
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
/// Sets a widget's geometry from twips: left, top, width, height.
void placeInTwips(QWidget* widget, int left, int top, int width, int height);
/// Gives a control its control name and sets its geometry from twips.
void nameAndPlace(QWidget* widget, const char* name, int left, int top, int width, int height);

/// `nameAndPlace` that hands the control back with its own type, for building a form in one line.
template <typename W> W* placeNamed(W* widget, const char* name, int left, int top, int width, int height)
{
    nameAndPlace(widget, name, left, top, width, height);
    return widget;
}

/// A named push button placed in twips. It is never a default button: Enter in a text box
/// must not press it.
QPushButton* addButton(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                       int height);

} // namespace korvane::platform
