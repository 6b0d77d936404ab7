#pragma once

#include "platform/filesystem.h"
#include "platform/runcontrol.h"

#include <QString>
#include <vector>

namespace korvane::recorder {

class FileDatabase;

/// What became of one recorded name in one place.
enum class Content {
    Same,       ///< a file of that name and size in a logged folder holds the same bytes
    Different,  ///< such a file is there, with other bytes
    Missing,    ///< no logged folder holds a file of that name and size any more
    Unreadable, ///< such a file is there but could not be read; `reason` says why
};

struct ContentMatch {
    QString name;     ///< the recorded name, as shown
    qint64 bytes = 0; ///< the size sought
    Content content = Content::Missing;
    platform::NativePath foundAt; ///< the file compared (not for Missing)
    QString reason;               ///< for Unreadable
};

struct ContentLookup {
    /// Success, or why the file in hand or the database could not be read; `databaseFailed`
    /// tells the two apart.
    platform::Status status;
    bool databaseFailed = false;
    bool stopped = false; ///< a stop ended it; `matches` holds the names finished before it
    qint64 bytes = 0;     ///< the size of the file in hand
    /// One entry per place a recorded name of that size was found, or one Missing entry for a
    /// name found nowhere; names in table order (each once), places newest logged folder first.
    std::vector<ContentMatch> matches;
    bool anySame() const;
};

/// Is `file` already at hand under another name? Every distinct name recorded with the exact
/// size of `file` is looked for in every folder of the log table (newest first, each once),
/// and each file of that name and size found there is compared with `file`, byte by byte up to
/// the first difference. Names and folders are matched as the kernel's bytes: a stored name
/// that is not UTF-8 on disk is tried in GB18030, as recording decoded it. Reads only; up to
/// `workers` threads share the names (1 for a file system that must stay on one thread), and
/// `control` is polled before every look and every comparison.
ContentLookup lookUpByContent(platform::FileSystem& fs, FileDatabase& db, const platform::NativePath& file,
                              int workers = 1, platform::RunControl* control = nullptr);

/// The text a line shows for a match: "内容相同: <path>", "内容不同: <path>", "已不在记录的文件夹中".
QString contentText(const ContentMatch& match);
/// "same", "different", "missing", "unreadable".
QString contentKeyword(Content content);

} // namespace korvane::recorder
