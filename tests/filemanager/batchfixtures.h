#pragma once

// Requests and step texts shared by the batch run tests.

#include "filemanager/batchrun.h"
#include "support/testtree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace korvane::testsupport {

inline filemanager::RunRequest request(const QString& source, const QString& target, filemanager::Operation op,
                                       const QString& type = QStringLiteral("*.txt"))
{
    filemanager::RunRequest r;
    r.source = QFile::encodeName(source);
    r.target = QFile::encodeName(target);
    r.operation = op;
    r.singleType = type;
    return r;
}

inline filemanager::RunRequest listRequest(const QString& source, const QString& target, filemanager::Operation op,
                                           const QString& list)
{
    filemanager::RunRequest r = request(source, target, op);
    r.typeListMode = true;
    r.typeList = [list] { return list; };
    return r;
}

inline QString folderOf(const QByteArray& path)
{
    return QFileInfo(QFile::decodeName(path)).path();
}

inline QString stepText(const filemanager::FileStep& step)
{
    return QString::fromUtf8(step.source + " > " + step.target + " ") + QString::number(int(step.action));
}

} // namespace korvane::testsupport
