#pragma once

#include "platform/status.h"

#include <functional>

class QUrl;

namespace korvane::platform {

/// Small desktop facilities: the system beep and opening a web page.
class Desktop {
public:
    virtual ~Desktop() = default;
    virtual void beep() = 0;
    /// Opens the address with the user's default program. `answer` is called once, on this
    /// thread, maybe before this returns: a failure when no program could open it.
    virtual void openUrl(const QUrl& url, std::function<void(const Status&)> answer) = 0;
};

} // namespace korvane::platform
