-- The recorder's database, written empty into the program's folder by the build.
-- Rows keep their insertion order through the implicit rowid; nothing is unique.
PRAGMA journal_mode = WAL;
PRAGMA user_version = 1;

CREATE TABLE fileInf (
    FileName  TEXT,
    filetype  TEXT,
    filesize  INTEGER,
    filedate  TEXT,  -- local time, 'YYYY-MM-DD HH:MM:SS'
    shortname TEXT
);
CREATE INDEX fileInf_filesize ON fileInf (filesize);

CREATE TABLE log (
    folder  TEXT,
    logtime TEXT     -- local time, 'YYYY-MM-DD HH:MM:SS'
);
