#pragma once

#include <QImage>
#include <QSize>

namespace korvane::components {

/// The registration window's decoration: component pieces clicking into place. Painted at
/// run time, so it stays sharp at any size.
QImage registrationPicture(QSize size);

} // namespace korvane::components
