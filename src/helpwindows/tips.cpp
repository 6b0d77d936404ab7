#include "helpwindows/tips.h"

#include "platform/nativepath.h"

namespace korvane::helpwindows {

const QStringList& builtInTips()
{
    static const QStringList tips = {
        QStringLiteral("Korvane具备人性化的特点, 使用者会感到异想不到的方便?"),
        QStringLiteral("Korvane能够批量反编译chm文件,并自动生成hhp文件,可直接在Microsoft HTML Help "
                       "Workshop下重新编译生成chm文件!"),
        QStringLiteral("Korvane能够批量加密Word文档,包括批量设置打开密码和修改密码,同时支持批量解密功能!"),
        QStringLiteral("Korvane能够批量加密AutoCAD文档,同时支持批量解密功能!"),
        QStringLiteral("如果您在进行庞大的VB项目,拥有无数的VB工程等待编译,是否会感到头痛呢?把这一切交给Korvane,"
                       "它能轻松批量编译VB工程,使用起来意想不到的方便!"),
        QStringLiteral("当要注册的Dll或Ocx文件过多的时候 , 这将是一段痛苦的经历, Korvane轻松帮您搞定, 速度之快, "
                       "操作之简, 令人长舒一口气!"),
        QStringLiteral("要选择性的复制,移动,删除大量的文件吗?交给Korvane,轻松搞定!"),
        QStringLiteral("记录历史文件信息,Korvane支持整目录记录, 并有详细的日志!"),
        QStringLiteral("记录历史文件信息有什么用?通常用于P2P下载,由于网友可随意对自已共享的文件(通常是影音文件)命名,"
                       "故下载其实内容一样的文件的现象难以避免,通过比较文件大小,可减少重复下载,节省网络带宽!"),
        QStringLiteral("Korvane具备完善的设置功能!"),
        QStringLiteral("Korvane无需安装AutoCAD即可快速查看DWG文档,支持缩放等多种查看方式!"),
    };
    return tips;
}

QStringList splitTips(const QByteArray& fileBytes)
{
    QString text;
    if (platform::isValidUtf8(fileBytes)) {
        text = QString::fromUtf8(fileBytes);
    } else if (auto gbk = platform::decodeText(fileBytes, "GB18030")) {
        text = *gbk;
    } else {
        text = QString::fromLocal8Bit(fileBytes);
    }
    QStringList tips;
    QString line;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            tips << line;
            line.clear();
            if (c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.isEmpty())
        tips << line;
    return tips;
}

QString TipCursor::advance()
{
    ++m_current;
    if (m_current > m_tips.size())
        m_current = 1;
    return currentTip();
}

QString TipCursor::currentTip() const
{
    if (m_current < 1 || m_current > m_tips.size())
        return {};
    return m_tips[m_current - 1];
}

} // namespace korvane::helpwindows
