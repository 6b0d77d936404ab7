#include "wordcrypt/documentpasswords.h"

namespace korvane::wordcrypt {

using platform::WordResult;

QStringList applyPasswords(platform::WordDocument& document, const QString& password, const QString& writePassword)
{
    QStringList failures;
    const WordResult opened = document.setPassword(password);
    if (!opened.ok)
        failures << QStringLiteral("  设置读密码失败: ") + opened.error;
    const WordResult modify = document.setWritePassword(writePassword);
    if (!modify.ok)
        failures << QStringLiteral("  设置写密码失败: ") + modify.error;
    // Without the open password asked for, the document is better left as it was.
    if (opened.ok) {
        const WordResult saved = document.save();
        if (!saved.ok)
            failures << QStringLiteral("  保存文档失败: ") + saved.error;
    } else {
        failures << QStringLiteral("  文档未保存");
    }
    const WordResult closed = document.close();
    if (!closed.ok)
        failures << QStringLiteral("  关闭文档失败: ") + closed.error;
    return failures;
}

} // namespace korvane::wordcrypt
