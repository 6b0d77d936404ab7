#pragma once

#include "platform/status.h"

class QUrl;

namespace korvane::platform {

/// Small desktop facilities: the system beep and opening a web page.
class Desktop {
public:
    virtual ~Desktop() = default;
    virtual void beep() = 0;
    /// Opens the address with the user's default program; a failure when none could be started.
    virtual Status openUrl(const QUrl& url) = 0;
};

} // namespace korvane::platform
