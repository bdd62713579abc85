#include "records/storeurl.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("StoreUrl", text);
}

const QString kSqliteScheme = QStringLiteral("sqlite://");
const QStringList kPostgresSchemes = {QStringLiteral("postgresql://"),
                                      QStringLiteral("postgres://")};
// libpq's own list.
const QStringList kSslModes = {QStringLiteral("disable"),   QStringLiteral("allow"),
                               QStringLiteral("prefer"),    QStringLiteral("require"),
                               QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

StoreUrl invalid(const QString &why)
{
    StoreUrl url;
    url.error = why;
    return url;
}

bool hasControlCharacter(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

// %XX escapes to bytes, read as UTF-8. False for a broken escape, bytes that are no UTF-8 or a
// control character.
bool percentDecode(const QString &text, QString *out)
{
    const QByteArray in = text.toUtf8();
    QByteArray bytes;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            bytes += in[i];
            continue;
        }
        bool ok = false;
        const int value = i + 2 < in.size() ? in.mid(i + 1, 2).toInt(&ok, 16) : -1;
        if (!ok || value < 0)
            return false;
        bytes += char(value);
        i += 2;
    }
    *out = QString::fromUtf8(bytes);
    return out->toUtf8() == bytes && !hasControlCharacter(*out);
}

QString percentEncode(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toPercentEncoding());
}

StoreUrl parseSqlite(const QString &rest)
{
    QString path;
    if (!rest.startsWith(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) ||
        rest.contains(QLatin1Char('#')) || !percentDecode(rest, &path))
        return invalid(tr("SQLite 记录库的地址应为 sqlite:///绝对路径"));
    path = QDir::cleanPath(path);
    if (path == QLatin1String("/"))
        return invalid(tr("SQLite 记录库的地址缺少文件路径"));
    StoreUrl url;
    url.kind = StoreUrl::Kind::Sqlite;
    url.path = path;
    return url;
}

bool parsePort(const QString &text, int *port)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(text).hasMatch())
        return false;
    *port = text.toInt();
    return *port >= 1 && *port <= 65535;
}

StoreUrl parsePostgres(QString rest)
{
    const StoreUrl broken =
        invalid(tr("PostgreSQL 记录库的地址应为 postgresql://用户@主机:端口/数据库"));
    if (rest.contains(QLatin1Char('#')))
        return broken;
    StoreUrl url;
    url.kind = StoreUrl::Kind::Postgres;

    QString query;
    if (const int q = rest.indexOf(QLatin1Char('?')); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    QString authority = rest;
    if (const int slash = rest.indexOf(QLatin1Char('/')); slash >= 0) {
        authority = rest.left(slash);
        if (!percentDecode(rest.mid(slash + 1), &url.database) ||
            url.database.contains(QLatin1Char('/')))
            return broken;
    }
    if (const int at = authority.lastIndexOf(QLatin1Char('@')); at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const int colon = userInfo.indexOf(QLatin1Char(':'));
        if (!percentDecode(userInfo.left(colon), &url.user) ||
            (colon >= 0 && !percentDecode(userInfo.mid(colon + 1), &url.password)))
            return broken;
    }
    QString hostText = authority;
    QString portText;
    if (authority.startsWith(QLatin1Char('['))) { // [IPv6]:port
        const int close = authority.indexOf(QLatin1Char(']'));
        const QString after = close < 0 ? QString() : authority.mid(close + 1);
        if (close < 0 || !(after.isEmpty() || after.startsWith(QLatin1Char(':'))))
            return broken;
        hostText = authority.mid(1, close - 1);
        portText = after.mid(1);
        if (after == QLatin1String(":"))
            return broken;
    } else if (const int colon = authority.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        hostText = authority.left(colon);
        portText = authority.mid(colon + 1);
        if (portText.isEmpty())
            return broken;
    }
    if (!percentDecode(hostText, &url.host))
        return broken;
    if (!portText.isEmpty() && !parsePort(portText, &url.port))
        return invalid(tr("记录库地址中的端口无效：%1").arg(portText));

    static const QRegularExpression serviceName(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    const QStringList pairs = query.split(QLatin1Char('&'), Qt::SkipEmptyParts);
    for (const QString &pair : pairs) {
        const int eq = pair.indexOf(QLatin1Char('='));
        QString value;
        if (eq <= 0 || !percentDecode(pair.mid(eq + 1), &value))
            return broken;
        const QString key = pair.left(eq);
        bool known = true;
        if (key == QLatin1String("host") && !value.isEmpty())
            url.host = value;
        else if (key == QLatin1String("port"))
            known = parsePort(value, &url.port);
        else if (key == QLatin1String("sslmode") && kSslModes.contains(value))
            url.sslMode = value;
        else if (key == QLatin1String("service") && serviceName.match(value).hasMatch())
            url.service = value;
        else
            known = false;
        // The value may be a password: the message names only the key.
        if (!known)
            return invalid(tr("记录库地址中的参数无效：%1").arg(key));
    }
    return url;
}

} // namespace

StoreUrl parseStoreUrl(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(kSqliteScheme, Qt::CaseInsensitive))
        return parseSqlite(trimmed.mid(kSqliteScheme.size()));
    for (const QString &scheme : kPostgresSchemes) {
        if (trimmed.startsWith(scheme, Qt::CaseInsensitive))
            return parsePostgres(trimmed.mid(scheme.size()));
    }
    return invalid(tr("不认识的记录库地址，应以 sqlite:/// 或 postgresql:// 开头"));
}

QString StoreUrl::identity() const
{
    if (kind == Kind::Sqlite)
        return kSqliteScheme + QString::fromLatin1(path.toUtf8().toPercentEncoding("/"));
    if (kind != Kind::Postgres)
        return QString();
    QString text = kPostgresSchemes.first();
    if (!user.isEmpty())
        text += percentEncode(user) + QLatin1Char('@');
    text += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']')
                                            : percentEncode(host);
    if (port > 0)
        text += QLatin1Char(':') + QString::number(port);
    text += QLatin1Char('/') + percentEncode(database);
    QStringList params;
    if (!sslMode.isEmpty())
        params << QStringLiteral("sslmode=") + sslMode;
    if (!service.isEmpty())
        params << QStringLiteral("service=") + service;
    if (!params.isEmpty())
        text += QLatin1Char('?') + params.join(QLatin1Char('&'));
    return text;
}

QString maskPassword(const QString &text)
{
    QString masked = text;
    // user:password@ in the authority (the part after "://" up to the first '/', '?' or '#').
    if (const int start = masked.indexOf(QLatin1String("://")); start >= 0) {
        const int from = start + 3;
        int end = masked.size();
        for (QChar stop : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
            const int at = masked.indexOf(stop, from);
            if (at >= 0 && at < end)
                end = at;
        }
        const int at = masked.lastIndexOf(QLatin1Char('@'), end - 1);
        const int colon = at >= from ? masked.indexOf(QLatin1Char(':'), from) : -1;
        if (colon >= 0 && colon < at)
            masked.replace(colon + 1, at - colon - 1, QStringLiteral("***"));
    }
    // password=... as a parameter, up to the next '&' or space.
    static const QRegularExpression parameter(QStringLiteral("(password=)[^& ]*"),
                                              QRegularExpression::CaseInsensitiveOption);
    masked.replace(parameter, QStringLiteral("\\1***"));
    return masked;
}
