#pragma once

#include <QString>
#include <QStringList>

namespace korvane::filemanager {

/// The last `count` characters of `text` (all of it when shorter), counted in code points so
/// a Chinese name is never cut inside a character.
QString lastCharacters(const QString& text, qsizetype count);

/// Single-type mode: the last three characters of the name and of the drop-down text agree,
/// ignoring case. "*.exe" and "exe" both compare as "exe"; "*.rm" compares as ".rm".
bool matchesSingleType(const QString& name, const QString& typeText);

/// The entries of a ";"-separated type list, each trimmed. Empty entries are dropped: by the
/// tail rule an empty entry would match every name.
QStringList typeListEntries(const QString& typeList);

/// Type-list mode: some entry equals the tail of the name of the entry's own length, ignoring
/// case; no dot is needed ("doc" matches "xdoc").
bool matchesTypeList(const QString& name, const QStringList& entries);

} // namespace korvane::filemanager
