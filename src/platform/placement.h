#pragma once

class QWidget;

namespace korvane::platform {

/// Design sizes are in twips; 15 twips make a pixel at 96 dpi.
constexpr int twips(int value) { return value / 15; }

/// Places `window` with its centre over `owner`'s centre (outer frames). Does nothing without owner.
void centerOver(QWidget* window, const QWidget* owner);
/// Places `window` at `owner`'s left and top edges (outer frames).
void alignWithTopLeft(QWidget* window, const QWidget* owner);
/// Sets a widget's geometry from twips: left, top, width, height.
void placeInTwips(QWidget* widget, int left, int top, int width, int height);

} // namespace korvane::platform
