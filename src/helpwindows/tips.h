#pragma once

#include <QByteArray>
#include <QStringList>

namespace korvane::helpwindows {

/// The eleven tips written when the tips file is missing or empty.
const QStringList& builtInTips();

/// Splits the tips file into tips: CR, CR LF and a lone LF each end a line (a file edited on
/// Linux must not become one long tip); the last line needs no break. Text that is not valid
/// UTF-8 is read as GBK.
QStringList splitTips(const QByteArray& fileBytes);

/// Steps through a list of tips, 1-based, wrapping after the last.
class TipCursor {
public:
    void append(const QStringList& tips) { m_tips += tips; }
    bool isEmpty() const { return m_tips.isEmpty(); }
    int current() const { return m_current; }
    /// Moves to the next tip, wrapping to the first; returns the tip now current ("" when none).
    QString advance();
    QString currentTip() const;

private:
    QStringList m_tips;
    int m_current = 0;
};

} // namespace korvane::helpwindows
