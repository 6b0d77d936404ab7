#pragma once

// The FibBase fields both Word backends read and patch, and the bounded little-endian read they
// share.

#include <QByteArray>
#include <QtEndian>
#include <array>

namespace korvane::wordcrypt::fib {

inline constexpr quint16 kFibMagic = 0xA5EC;
/// wIdent of Word 6 and Word 95 documents: the same stream name, an older FIB, no table stream.
inline constexpr quint16 kWord95Magic = 0xA5DC;
inline constexpr quint16 fEncrypted = 0x0100;
inline constexpr quint16 fWhichTblStm = 0x0200;
inline constexpr quint16 fReadOnlyRecommended = 0x0400;
inline constexpr quint16 fWriteReservation = 0x0800;
inline constexpr quint16 fObfuscated = 0x8000;
inline constexpr qint64 kFlagsAt = 0x0A;
inline constexpr qint64 kLKeyAt = 0x0E;
/// The start of the FIB that stays readable in an encrypted document.
inline constexpr qint64 kPlainFibBytes = 68;

/// A little-endian field of `size` bytes (at most 4); bytes outside `b` read as 0. (Copying byte
/// by byte also keeps the compiler's bounds analysis quiet about QByteArray's shared empty buffer.)
inline quint32 leAt(const QByteArray& b, qsizetype at, int size)
{
    std::array<char, 4> field{};
    for (int i = 0; i < size && i < 4; ++i) {
        if (at + i >= 0 && at + i < b.size())
            field[std::size_t(i)] = b.at(at + i);
    }
    return qFromLittleEndian<quint32>(field.data());
}
inline quint16 u16(const QByteArray& b, qsizetype at)
{
    return quint16(leAt(b, at, 2));
}
inline quint32 u32(const QByteArray& b, qsizetype at)
{
    return leAt(b, at, 4);
}

} // namespace korvane::wordcrypt::fib
