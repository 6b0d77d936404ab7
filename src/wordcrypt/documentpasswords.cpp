#include "wordcrypt/documentpasswords.h"

namespace korvane::wordcrypt {

using platform::Status;

QStringList applyPasswords(platform::WordDocument& document, const QString& password, const QString& writePassword)
{
    QStringList failures;
    const Status opened = document.setPassword(password);
    if (!opened.ok())
        failures << QStringLiteral("  设置读密码失败: ") + opened.message();
    const Status modify = document.setWritePassword(writePassword);
    if (!modify.ok())
        failures << QStringLiteral("  设置写密码失败: ") + modify.message();
    // Without the open password asked for, the document is better left as it was.
    if (opened.ok()) {
        const Status saved = document.save();
        if (!saved.ok())
            failures << QStringLiteral("  保存文档失败: ") + saved.message();
    } else {
        failures << QStringLiteral("  文档未保存");
    }
    const Status closed = document.close();
    if (!closed.ok())
        failures << QStringLiteral("  关闭文档失败: ") + closed.message();
    return failures;
}

} // namespace korvane::wordcrypt
