#pragma once

#include "platform/status.h"

#include <chrono>
#include <functional>

class QUrl;

namespace korvane::platform {

/// Opens a web address with xdg-open, which finds the user's browser. The answer comes once,
/// on the calling thread's event loop: a failure when xdg-open is missing or could not start,
/// or when it gave up within `failureWindow` (no browser, or the browser refused). After the
/// window xdg-open may be the browser itself, and its end says nothing about the opening.
void openWebAddress(const QUrl& url, std::function<void(const Status&)> answer,
                    std::chrono::milliseconds failureWindow = std::chrono::seconds(5));

} // namespace korvane::platform
