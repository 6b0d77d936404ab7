#pragma once

class QUrl;

namespace korvane::platform {

/// Small desktop facilities: the system beep and opening a web page.
class Desktop {
public:
    virtual ~Desktop() = default;
    virtual void beep() = 0;
    /// Opens the address with the user's default program; false when that failed.
    virtual bool openUrl(const QUrl& url) = 0;
};

} // namespace korvane::platform
