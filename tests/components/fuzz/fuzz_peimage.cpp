// libFuzzer target for the PE reader: any bytes, read in place so ASan sees every overrun.
#include "components/peimage.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const korvane::components::PeImage image = korvane::components::readPeImage(bytes);
    // A valid image never reports a problem, and a refused one always says why.
    if (image.valid != image.problem.isEmpty())
        __builtin_trap();
    return 0;
}
