#include "platform/registry.h"

namespace korvane::platform {

void decodeRegistryValue(const RegistryValue& value, QString& text)
{
    QByteArray kept = value.data;
    if (!kept.isEmpty() && kept.back() == '\0')
        kept.chop(1);
    switch (value.type) {
    case 1: // REG_SZ: ANSI text
        text = QString::fromLocal8Bit(kept);
        break;
    case 4: { // REG_DWORD: bytes from the last to the first, each without leading zero
        for (qsizetype i = kept.size() - 1; i >= 0; --i)
            text += QString::number(quint8(kept[i]), 16).toUpper();
        text.prepend(QLatin1String("&h"));
        break;
    }
    default: break;
    }
}

} // namespace korvane::platform
