#pragma once

// Minimal Windows program libraries for tests that need PE images without a cross compiler:
// one section holding the export names and the import table, nothing else.

#include <QByteArray>
#include <QStringList>
#include <QtEndian>

namespace korvane::testsupport {

inline QByteArray syntheticPe(bool is64, const QStringList& exports, const QStringList& imports)
{
    constexpr quint32 kSectionRva = 0x1000, kSectionOffset = 0x200;
    QByteArray section;
    auto put32 = [](QByteArray& b, qsizetype at, quint32 v) { qToLittleEndian(v, b.data() + at); };
    // Export directory, then the name pointers, then the names.
    section.resize(40 + 4 * exports.size());
    QList<quint32> nameRvas;
    for (const QString& name : exports) {
        nameRvas << kSectionRva + quint32(section.size());
        section += name.toLatin1() + '\0';
    }
    put32(section, 24, quint32(exports.size()));
    put32(section, 32, kSectionRva + 40);
    for (qsizetype i = 0; i < nameRvas.size(); ++i)
        put32(section, 40 + 4 * i, nameRvas[i]);
    // Import descriptors (ending with a zero one), then the DLL names.
    const quint32 importRva = kSectionRva + quint32(section.size());
    const qsizetype descriptors = section.size();
    section.append(QByteArray(20 * (imports.size() + 1), '\0'));
    for (qsizetype i = 0; i < imports.size(); ++i) {
        put32(section, descriptors + 20 * i + 12, kSectionRva + quint32(section.size()));
        put32(section, descriptors + 20 * i + 16, kSectionRva); // any non-zero thunk address
        section += imports[i].toLatin1() + '\0';
    }

    const quint16 optionalSize = is64 ? 240 : 224;
    QByteArray image(kSectionOffset, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3c, 0x40);
    image.replace(0x40, 4, QByteArray("PE\0\0", 4));
    qToLittleEndian<quint16>(is64 ? 0x8664 : 0x14c, image.data() + 0x44);
    qToLittleEndian<quint16>(1, image.data() + 0x46);
    qToLittleEndian<quint16>(optionalSize, image.data() + 0x54);
    qToLittleEndian<quint16>(0x2102, image.data() + 0x56);
    const qsizetype optional = 0x58;
    qToLittleEndian<quint16>(is64 ? 0x20b : 0x10b, image.data() + optional);
    const qsizetype directories = optional + (is64 ? 112 : 96);
    put32(image, directories - 4, 16);
    if (!exports.isEmpty()) {
        put32(image, directories, kSectionRva);
        put32(image, directories + 4, 40);
    }
    if (!imports.isEmpty()) {
        put32(image, directories + 8, importRva);
        put32(image, directories + 12, quint32(20 * (imports.size() + 1)));
    }
    const qsizetype header = optional + optionalSize;
    image.replace(header, 8, QByteArray(".rdata\0\0", 8));
    put32(image, header + 8, quint32(section.size()));
    put32(image, header + 12, kSectionRva);
    put32(image, header + 16, quint32(section.size()));
    put32(image, header + 20, kSectionOffset);
    return image + section;
}

/// A 32-bit library that registers and needs only what Wine has.
inline QByteArray registrableLibrary()
{
    return syntheticPe(false, {"DllCanUnloadNow", "DllRegisterServer"}, {"KERNEL32.dll"});
}

} // namespace korvane::testsupport
