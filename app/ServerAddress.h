#pragma once
// What the server field names: a host, or an address in URL form that also says whether and how
// the session is encrypted.
//
//   host             TLS when the server offers it
//   ftp://host       plain FTP, as the window always spoke it
//   ftpes://host     TLS required (AUTH TLS)
//   ftps://host      TLS from the first byte (the port field still decides the port)
//   sftp://host      SFTP over SSH (port 22 unless the port field names another than 21)
//
// The scheme may be written in any case. Of a URL the host alone becomes the host: a "user@" or
// "user:password@" before it is dropped (the user and password fields log in), and so is a path
// after it; a ":port" after it is used instead of the port field. An IPv6 address in brackets
// loses them. A bare host is taken as it stands, and so is anything with another scheme.
#include "ftp/FtpTypes.h"

#include <QString>

#include <optional>
#include <string>

namespace app {

struct ServerAddress {
    QString host;
    std::optional<QString> port; // the URL's own port, as typed
    TTlsMode tls = tlsIfAvailable;
    bool sftp = false;
};

ServerAddress ParseServerAddress(const QString& text);

// The port to connect to as typed: the URL's own, else the port field's. For SFTP a field left
// at FTP's 21, or empty, means SSH's 22.
QString PortText(const ServerAddress& address, const QString& portField);

// A server as the status line names it: "host:21", "[::1]:21".
QString HostAndPort(const QString& host, int port);

} // namespace app
