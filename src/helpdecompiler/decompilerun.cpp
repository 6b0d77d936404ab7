#include "helpdecompiler/decompilerun.h"

#include "helpdecompiler/helpproject.h"
#include "platform/nativepath.h"
#include "platform/orderedparallel.h"

#include <QThread>
#include <algorithm>
#include <exception>
#include <sched.h>

namespace korvane::helpdecompiler {

using platform::NativePath;

namespace {

/// Crafted entry names can be hundreds of characters long; a message line shows the start.
QString elided(const QString& text)
{
    constexpr qsizetype kShown = 60;
    return text.size() <= kShown ? text : text.left(kShown) + QStringLiteral("…");
}

} // namespace

bool isHelpFileName(const QByteArray& name)
{
    return name.size() >= 3 && name.right(3).toLower() == "chm";
}

std::optional<QByteArray> projectNameOf(const QByteArray& name)
{
    const qsizetype dot = name.indexOf('.');
    if (dot <= 0)
        return std::nullopt;
    return name.left(dot);
}

QString normalizedTarget(const QString& text)
{
    QString target = text;
    // Only spaces are trimmed, as the box's own trim does.
    while (target.startsWith(QLatin1Char(' ')))
        target.remove(0, 1);
    while (target.endsWith(QLatin1Char(' ')))
        target.chop(1);
    if (!target.isEmpty() && !target.endsWith(QLatin1Char('/')))
        target += QLatin1Char('/');
    return target;
}

platform::NativePath normalizedTarget(const platform::NativePath& path)
{
    platform::NativePath target = path;
    while (target.startsWith(' '))
        target.remove(0, 1);
    while (target.endsWith(' '))
        target.chop(1);
    if (!target.isEmpty() && !target.endsWith('/'))
        target += '/';
    return target;
}

ProjectKind projectKindSetting(platform::SettingsStore& settings)
{
    const QString value =
        settings.value(QString::fromLatin1(kProjectKindSection), QString::fromUtf8(kProjectKindKey), QString());
    return value.trimmed() == QString::fromUtf8(kFullProjectValue) ? ProjectKind::Full : ProjectKind::Hhp;
}

DecompileRun::DecompileRun(platform::FileSystem& fs, Extractor extractor) : m_fs(fs), m_extract(std::move(extractor)) {}

QList<HelpFileOutcome> DecompileRun::run(const NativePath& target, bool includeSubfolders, bool writeProjects,
                                         platform::RunControl* control)
{
    return run(target, target, includeSubfolders, writeProjects, control);
}

QList<HelpFileOutcome> DecompileRun::run(const NativePath& source, const NativePath& target, bool includeSubfolders,
                                         bool writeProjects, platform::RunControl* control)
{
    m_target = target;
    m_writeProjects = writeProjects;
    m_control = control;
    m_found = 0;
    m_foldersLeft = false;
    m_outcomes.clear();
    const platform::RunControl::Scope scope(control);
    NativePath start = source;
    if (start.size() > 1 && start.endsWith('/'))
        start.chop(1);
    decompileFolder(start, includeSubfolders);
    if (control && !stopped())
        control->totalIsFinal();
    m_control = nullptr;
    return std::move(m_outcomes);
}

HelpFileOutcome DecompileRun::runFile(const NativePath& helpFile, bool writeProjects, platform::RunControl* control)
{
    const qsizetype slash = helpFile.lastIndexOf('/');
    const NativePath folder = slash <= 0 ? NativePath("/") : helpFile.left(slash);
    m_target = folder.endsWith('/') ? folder : folder + '/';
    m_writeProjects = writeProjects;
    m_control = control;
    m_outcomes.clear();
    const platform::RunControl::Scope scope(control);
    decompile(folder, helpFile.mid(slash + 1));
    m_control = nullptr;
    return m_outcomes.takeFirst();
}

bool DecompileRun::stopped() const
{
    return m_control && m_control->stopRequested();
}

int DecompileRun::helpersForThisMachine()
{
    // The cores this process may use (taskset, cgroups' cpusets), not those of the machine.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1, QThread::idealThreadCount());
}

// The design calls this routine sf.
void DecompileRun::decompileFolder(const NativePath& folder, bool includeSubfolders)
{
    const auto files = m_fs.list(folder);
    if (!files)
        return; // an unreadable folder is passed over, as the walk ignores errors
    QList<QByteArray> helpFiles;
    for (const platform::DirEntry& entry : *files) {
        if (entry.kind == platform::EntryKind::File && isHelpFileName(entry.name))
            helpFiles.append(entry.name);
    }
    m_found += int(helpFiles.size());
    if (m_control)
        m_control->addToTotal(helpFiles.size());
    if (m_parallel > 1 && !helpFiles.isEmpty()) { // no threads for a folder without help files
        decompileSideBySide(folder, helpFiles);
    } else {
        for (const QByteArray& name : helpFiles) {
            if (stopped())
                break;
            decompile(folder, name);
        }
    }
    if (!includeSubfolders)
        return;
    const auto isSubfolder = [](const platform::DirEntry& entry) {
        return entry.kind == platform::EntryKind::Folder && !entry.isSymlink;
    };
    // A stop among this folder's files leaves its subfolders unwalked.
    if (stopped()) {
        m_foldersLeft |= std::any_of(files->begin(), files->end(), isSubfolder);
        return;
    }
    // Listed again after the files: output folders made meanwhile are walked too.
    const auto folders = m_fs.list(folder);
    if (!folders)
        return;
    for (const platform::DirEntry& entry : *folders) {
        if (!isSubfolder(entry))
            continue;
        if (stopped()) {
            m_foldersLeft = true;
            return;
        }
        decompileFolder(platform::joinPath(folder, entry.name), true);
    }
}

std::optional<QByteArray> DecompileRun::prepare(const NativePath& folder, const QByteArray& name,
                                                HelpFileOutcome& outcome, quint64& size)
{
    outcome.helpFile = platform::joinPath(folder, name);
    if (m_control)
        m_control->begin(platform::displayPath(outcome.helpFile));
    const auto project = projectNameOf(name);
    if (!project) {
        outcome.skipped = QStringLiteral("文件名中没有\".\",无法确定输出文件夹,已跳过");
        return std::nullopt;
    }
    const auto info = m_fs.info(outcome.helpFile);
    size = info ? quint64(info->size) : 0;
    return project;
}

void DecompileRun::decompile(const NativePath& folder, const QByteArray& name)
{
    HelpFileOutcome outcome;
    quint64 size = 0;
    const auto project = prepare(folder, name, outcome, size);
    if (project)
        outcome.extract = m_extract(outcome.helpFile, m_target, *project, size);
    finish(name, project.value_or(QByteArray()), outcome);
}

void DecompileRun::decompileSideBySide(const NativePath& folder, const QList<QByteArray>& names)
{
    struct InHand {
        QByteArray name;
        std::optional<QByteArray> project;
        HelpFileOutcome outcome;
        quint64 size = 0;
    };
    // At most m_parallel files are in hand, finished or not: outcomes are buffered only until
    // the earlier ones are out, which bounds both memory and the helpers running. A file for
    // an output folder in hand waits, keyed by its project: it replaces that one's project file.
    platform::OrderedParallel<InHand, ExtractReport> helpers(
        m_parallel, std::size_t(m_parallel), m_control,
        [this](const InHand& item) {
            return item.project ? m_extract(item.outcome.helpFile, m_target, *item.project, item.size)
                                : ExtractReport();
        },
        [this](auto& done) {
            if (done.failure)
                std::rethrow_exception(done.failure);
            if (!done.ran && done.item.project)
                return; // the stop came before its helper started: not handled
            done.item.outcome.extract = std::move(done.result);
            finish(done.item.name, done.item.project.value_or(QByteArray()), done.item.outcome);
        });
    for (const QByteArray& name : names) {
        if (stopped())
            break;
        InHand item;
        item.name = name;
        item.project = prepare(folder, name, item.outcome, item.size);
        const QByteArray key = item.project.value_or(QByteArray());
        helpers.submit(std::move(item), key);
    }
    helpers.finish();
}

void DecompileRun::finish(const QByteArray& name, const QByteArray& project, HelpFileOutcome& outcome)
{
    if (!outcome.skipped.isEmpty()) {
        m_outcomes.append(outcome);
        if (m_control)
            m_control->advance();
        return;
    }
    if (stopped() && !outcome.extract.error.empty()) {
        // Killed in the middle: no project file for a partial extraction.
        outcome.stopped = true;
        m_outcomes.append(outcome);
        return;
    }
    if (outcome.extract.opened) {
        outcome.outputFolder = m_target + project;
        if (m_writeProjects) {
            const platform::Status status = writeHelpProject(m_fs, name, project, outcome.outputFolder);
            outcome.projectWritten = status.ok();
            if (!status.ok())
                outcome.projectError = QStringLiteral("无法写入hhp文件: ") + status.message();
            else if (m_kind == ProjectKind::Full)
                writeFull(name, project, outcome);
        }
    }
    m_outcomes.append(outcome);
    if (m_control)
        m_control->advance();
}

void DecompileRun::writeFull(const QByteArray& name, const QByteArray& project, HelpFileOutcome& outcome)
{
    const platform::Status status =
        writeFullProject(m_fs, name, project, outcome.outputFolder, outcome.extract.project);
    if (!status.ok()) {
        outcome.projectWritten = false;
        outcome.projectError = QStringLiteral("无法写入完整工程: ") + status.message();
    }
}

platform::Status outcomeProblem(const HelpFileOutcome& outcome, bool elide)
{
    QString why;
    if (!outcome.skipped.isEmpty()) {
        why = outcome.skipped;
    } else if (!outcome.extract.error.empty()) {
        why = QString::fromStdString(outcome.extract.error);
    } else if (!outcome.extract.problems.empty()) {
        const EntryProblem& first = outcome.extract.problems.front();
        const QString name = QString::fromStdString(first.name);
        why = QStringLiteral("%1 个条目未能提取(%2: %3)")
                  .arg(outcome.extract.problemCount)
                  .arg(elide ? elided(name) : name, QString::fromStdString(first.reason));
    }
    if (!outcome.projectError.isEmpty())
        why += (why.isEmpty() ? QString() : QStringLiteral(";")) + outcome.projectError;
    if (why.isEmpty())
        return {};
    return platform::Status::failure(outcome.stopped ? platform::ErrorKind::Cancelled : platform::ErrorKind::Failed,
                                     why);
}

namespace {

/// Why a help file did not go through, after its name.
QString reasonFor(const HelpFileOutcome& outcome, bool elide)
{
    return platform::displayPath(outcome.helpFile) + QStringLiteral(": ") + outcomeProblem(outcome, elide).message();
}

} // namespace

QString runSummary(const QList<HelpFileOutcome>& outcomes)
{
    const QString done = QStringLiteral("全部chm文件反编译完成!");
    QStringList lines;
    for (const HelpFileOutcome& outcome : outcomes) {
        if (!outcome.clean())
            lines.append(reasonFor(outcome, true));
    }
    if (lines.isEmpty())
        return done;
    constexpr int kShown = 12;
    const qsizetype total = lines.size();
    if (total > kShown) {
        lines = lines.mid(0, kShown);
        lines.append(QStringLiteral("……另有 %1 个文件").arg(total - kShown));
    }
    return QStringLiteral("chm文件反编译已结束,但以下 %1 个文件没有完整反编译:\n\n").arg(total) +
           lines.join(QLatin1Char('\n'));
}

QString runDetails(const QList<HelpFileOutcome>& outcomes)
{
    QStringList lines;
    for (const HelpFileOutcome& outcome : outcomes) {
        if (outcome.clean())
            continue;
        lines.append(reasonFor(outcome, false));
        if (!outcome.skipped.isEmpty() || !outcome.extract.error.empty())
            continue;
        for (const EntryProblem& problem : outcome.extract.problems)
            lines.append(QStringLiteral("    ") + QString::fromStdString(problem.name) + QStringLiteral(": ") +
                         QString::fromStdString(problem.reason));
        const qsizetype unlisted = outcome.extract.problemCount - qsizetype(outcome.extract.problems.size());
        if (unlisted > 0)
            lines.append(QStringLiteral("    ……另有 %1 个条目").arg(unlisted));
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace korvane::helpdecompiler
