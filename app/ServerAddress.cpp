#include "app/ServerAddress.h"

namespace app {

namespace {

struct Scheme {
    const char* prefix;
    TTlsMode tls;
    bool sftp = false;
};
constexpr Scheme kSchemes[] = {
    {"ftp://", tlsNone},
    {"ftpes://", tlsRequired},
    {"ftps://", tlsImplicit},
    {"sftp://", tlsIfAvailable, true},
};

// "host:" names no port; the port field's then counts.
void SetPort(ServerAddress& address, const QString& port)
{
    if (!port.isEmpty()) address.port = port;
}

} // namespace

ServerAddress ParseServerAddress(const QString& text)
{
    ServerAddress address;
    address.host = text;
    for (const Scheme& scheme : kSchemes) {
        const QString prefix = QString::fromLatin1(scheme.prefix);
        if (!text.startsWith(prefix, Qt::CaseInsensitive)) continue;
        address.tls = scheme.tls;
        address.sftp = scheme.sftp;
        QString rest = text.mid(prefix.size());
        // The path, then the user and password: neither belongs to the host.
        rest = rest.left(rest.indexOf(u'/'));
        rest = rest.mid(rest.lastIndexOf(u'@') + 1);
        if (rest.startsWith(u'[')) {
            const qsizetype close = rest.indexOf(u']');
            if (close > 0) {
                address.host = rest.mid(1, close - 1);
                if (rest.mid(close + 1).startsWith(u':')) SetPort(address, rest.mid(close + 2));
                return address;
            }
        }
        const qsizetype colon = rest.indexOf(u':');
        // A second colon makes it an IPv6 address without brackets, which has no port.
        if (colon >= 0 && rest.indexOf(u':', colon + 1) < 0) {
            address.host = rest.left(colon);
            SetPort(address, rest.mid(colon + 1));
        } else {
            address.host = rest;
        }
        return address;
    }
    return address;
}

QString PortText(const ServerAddress& address, const QString& portField)
{
    if (address.port) return *address.port;
    const QString field = portField.trimmed();
    if (address.sftp && (field.isEmpty() || field == QStringLiteral("21")))
        return QStringLiteral("22");
    return portField;
}

QString HostAndPort(const QString& host, int port)
{
    const QString shown = host.contains(u':') ? u'[' + host + u']' : host;
    return shown + u':' + QString::number(port);
}

} // namespace app
