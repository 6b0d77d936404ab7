#pragma once

// The recorder's type descriptions against the MIME database itself, name by name, with one
// describer for a whole sequence: an answer that depends on the names before it shows as a
// difference. Shared by tst_recorder_logic (fixed orders) and fuzz_typedescriber.

#include "recorder/recording.h"

#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStringList>
#include <optional>

namespace korvane::testsupport {

/// Characters that read as digits or letters to Qt but are no ASCII, and the one whose lower case
/// is two characters.
inline const QList<QChar> kForeignCharacters{QChar(0x0663), QChar(0xFF13), QChar(0x0661), QChar(0xFF41),
                                             QChar(0x00C9), QChar(0x0130), QChar(0x00DF), QChar(0x4E2D)};

/// A name each glob of the database matches: "*" as "x", "?" as "q", a set as its first character.
inline QStringList globNames(const QMimeDatabase& mime)
{
    static const QRegularExpression set(QStringLiteral(R"(\[[!^]?(.)[^\]]*\])"));
    QStringList names;
    for (const QMimeType& type : mime.allMimeTypes()) {
        for (const QString& glob : type.globPatterns())
            names << QString(glob).replace(set, QStringLiteral("\\1")).replace(u'*', u'x').replace(u'?', u'q');
    }
    return names;
}

/// One change of the kind that made answers differ: case, dots, foreign digits and letters.
inline QString mutated(QString name, quint32 choice)
{
    const qsizetype at = name.isEmpty() ? 0 : qsizetype(choice >> 8) % name.size();
    switch (choice % 7) {
    case 0: return name.toUpper();
    case 1:
        return name.isEmpty() ? name
                              : name.replace(at, 1, name[at].isUpper() ? name[at].toLower() : name[at].toUpper());
    case 2: return name.insert(at, u'.');
    case 3: return name.isEmpty() ? name : name.remove(at, 1);
    case 4: {
        QString swapped = name;
        for (QChar& c : swapped) {
            if (c >= u'0' && c <= u'9')
                c = QChar(char16_t((choice >> 4) & 1 ? 0x0660 : 0xFF10) + (c.unicode() - u'0'));
        }
        return swapped;
    }
    case 5:
        return name.isEmpty()
                   ? name
                   : name.replace(at, 1, kForeignCharacters[qsizetype(choice >> 4) % kForeignCharacters.size()]);
    default: return name.append(kForeignCharacters[qsizetype(choice >> 4) % kForeignCharacters.size()]);
    }
}

/// The first name, in the order given, whose description differs from the database's answer.
inline std::optional<QString> firstDifference(const QStringList& names)
{
    recorder::TypeDescriber types;
    QMimeDatabase mime;
    for (const QString& name : names) {
        if (types.describe(name) != mime.mimeTypeForFile(name, QMimeDatabase::MatchExtension).comment())
            return name;
    }
    return std::nullopt;
}

} // namespace korvane::testsupport
