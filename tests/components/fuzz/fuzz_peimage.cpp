// libFuzzer target for the PE reader: any bytes, read in place so ASan sees every overrun.
#include "components/peimage.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto image = korvane::components::readPeImage(bytes);
    // A refused image always says why.
    if (!image && image.status().message().isEmpty())
        __builtin_trap();
    return 0;
}
