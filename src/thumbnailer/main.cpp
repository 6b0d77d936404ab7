// korvane-dwg-thumbnailer: the freedesktop thumbnailer for drawings.
//   korvane-dwg-thumbnailer -s SIZE INPUT OUTPUT
// Writes OUTPUT as a PNG of INPUT's stored preview, fitted into SIZE × SIZE. Exits 0 when
// written, 1 when the drawing has no usable preview, 2 on bad arguments, 3 when OUTPUT cannot
// be written (never 0 after a failed write). A new OUTPUT exists only after exit 0; an existing
// one is written in place and left empty on failure. Without a thumbnail, says why on standard
// error when the drawing tells (its preview encrypted, not saved, damaged). Needs no display.
#include "thumbnailer/dwgthumbnailer.h"

#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int usage()
{
    std::fputs("usage: korvane-dwg-thumbnailer -s SIZE INPUT OUTPUT\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    int size = 0;
    const char* paths[2] = {nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-s") == 0 || std::strcmp(argv[i], "--size") == 0) {
            if (++i >= argc)
                return usage();
            char* end = nullptr;
            const long value = std::strtol(argv[i], &end, 10);
            if (end == argv[i] || *end != '\0' || value < 1 || value > 4096)
                return usage();
            size = int(value);
        } else if (pathCount < 2) {
            paths[pathCount++] = argv[i];
        } else {
            return usage();
        }
    }
    if (size == 0 || pathCount != 2)
        return usage();
    using korvane::thumbnailer::Outcome;
    const korvane::thumbnailer::Thumbnail thumbnail =
        korvane::thumbnailer::loadThumbnail(QFile::decodeName(paths[0]), size);
    if (thumbnail.image.isNull() && !thumbnail.notice.isEmpty())
        std::fprintf(stderr, "korvane-dwg-thumbnailer: %s: %s\n", paths[0], thumbnail.notice.toUtf8().constData());
    switch (korvane::thumbnailer::writeThumbnail(thumbnail.image, QFile::decodeName(paths[1]))) {
    case Outcome::Written: return 0;
    case Outcome::NoPreview: return 1;
    case Outcome::Unwritable: break;
    }
    return 3;
}
