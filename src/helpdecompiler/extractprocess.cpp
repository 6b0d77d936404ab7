#include "helpdecompiler/extractprocess.h"

#include "platform/filesystem.h"
#include "platform/programstarter.h"

#include <QList>
#include <QScopeGuard>
#include <algorithm>
#include <unistd.h>

namespace korvane::helpdecompiler {

QByteArray formatExtractReport(const ExtractReport& report)
{
    return QByteArray::fromStdString(core::formatReport(report));
}

std::optional<ExtractReport> parseExtractReport(const QByteArray& text)
{
    ExtractReport report;
    bool done = false;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> parts = line.split('\t');
        const QByteArray& key = parts[0];
        if (key == "opened" && parts.size() == 2) {
            report.opened = parts[1] == "1";
        } else if (key == "error" && parts.size() == 2) {
            report.error = parts[1].toStdString();
        } else if (key == "problem" && parts.size() == 3) {
            report.problems.push_back({parts[2].toStdString(), parts[1].toStdString()});
        } else if (key == "problems" && parts.size() == 2) {
            report.problemCount = parts[1].toInt();
        } else if (key == "project") {
            core::parseFactLine(line.toStdString(), report.project);
        } else if (key == "done" && parts.size() == 4) {
            report.files = parts[1].toInt();
            report.folders = parts[2].toInt();
            report.bytes = parts[3].toULongLong();
            done = true;
        }
    }
    if (!done)
        return std::nullopt;
    report.problemCount = std::max<int>(report.problemCount, int(report.problems.size()));
    return report;
}

ExtractProcess::ExtractProcess(platform::ProgramStarter& programs, platform::FileSystem& files, QString helperPath)
    : m_programs(programs), m_files(files), m_helper(std::move(helperPath))
{}

int ExtractProcess::timeoutFor(quint64 fileSize)
{
    // Decompressing runs at well over 50 MB/s; this leaves room for slow disks and a busy machine.
    const quint64 ms = 30000 + fileSize / (1024 * 1024) * 2000;
    return int(std::min<quint64>(ms, 3600000));
}

ExtractReport ExtractProcess::extract(const platform::NativePath& chmFile, const platform::NativePath& targetFolder,
                                      const QByteArray& projectName, quint64 fileSize)
{
    // Paths travel as raw bytes on standard input: an argument vector would force them through text.
    // Our process ID lets the helper see that we died before it could ask to die with us. A helper
    // started while another runs keeps to one thread: the cores are taken.
    const bool alone = m_running.fetch_add(1) == 0;
    const auto done = qScopeGuard([this] { m_running.fetch_sub(1); });
    const QByteArray input = chmFile + '\0' + targetFolder + '\0' + projectName + '\0' +
                             QByteArray::number(qint64(::getpid())) + '\0' + (alone ? "" : "1") + '\0';
    core::removePartialFile(targetFolder.toStdString(), projectName.toStdString());
    const platform::NativePath output = (targetFolder.endsWith('/') ? targetFolder : targetFolder + '/') + projectName;
    // What was there before this run; a tree that could not be walked has nothing taken back.
    const platform::Result<platform::TreeSnapshot> before = m_files.snapshot(output);
    const platform::RunOutcome outcome = m_programs.run(m_helper, {}, timeoutFor(fileSize), input);
    ExtractReport report;
    if (!outcome.started) {
        report.error = QStringLiteral("无法启动解压程序 %1: %2").arg(m_helper, outcome.status.message()).toStdString();
        return report;
    }
    const std::optional<ExtractReport> parsed = parseExtractReport(outcome.output);
    if (parsed && outcome.finished)
        return *parsed;
    // Stopped, or ended at a limit or a fault: what this run added goes again, so no page is left
    // half-written (in a folder the helper made, pages are written under their own names).
    core::removePartialFile(targetFolder.toStdString(), projectName.toStdString());
    if (before)
        (void)m_files.removeAllBut(output, *before); // what cannot go stays, as any leftover
    report.error =
        QStringLiteral("解压程序没有正常结束(%1),文件可能已损坏").arg(outcome.status.message()).toStdString();
    // Whether the container itself was readable.
    report.opened = parseExtractReport(outcome.output + "done\t0\t0\t0\n").value_or(ExtractReport{}).opened;
    return report;
}

} // namespace korvane::helpdecompiler
