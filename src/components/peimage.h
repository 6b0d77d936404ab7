#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace korvane::components {

/// What registering needs to know of a Windows program library, read from its headers and
/// tables. Every offset in the file is checked before it is followed, so any bytes are safe.
struct PeImage {
    enum class Machine { I386, Amd64, Other };

    Machine machine = Machine::Other;
    quint16 machineCode = 0;
    bool pe32Plus = false;    ///< the 64-bit optional header
    bool dll = false;         ///< IMAGE_FILE_DLL
    QStringList exports;      ///< exported names, as stored
    QStringList importedDlls; ///< names of the DLLs loaded with it (not delay-loaded), as stored

    bool hasExport(const QString& name) const { return exports.contains(name); }
    bool is64() const { return machine == Machine::Amd64; }
};

/// Reads an image held in memory. A file that is no PE image at all fails with
/// "不是Windows程序库"; one whose tables point outside the file with a message naming the
/// broken table.
platform::Result<PeImage> readPeImage(const QByteArray& bytes);

/// The most a library is read into memory for its tables.
constexpr qint64 kMaxPeImageBytes = qint64(512) << 20;

} // namespace korvane::components
