#include "app/WireText.h"

#include <QDir>
#include <QFile>

#include <array>

namespace app {

namespace {

// 0x80..0x9F: the printable characters windows-1252 puts where Latin-1 has C1 controls. The five
// unassigned positions keep their C1 code point, so every byte survives a round trip.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr bool IsUnassigned(char16_t c)
{
    return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

char ByteFor(char16_t c)
{
    if (c < 0x80 || c >= 0xA0) return c <= 0xFF ? static_cast<char>(c) : '?';
    if (IsUnassigned(c)) return static_cast<char>(c);
    return '?'; // a C1 control that windows-1252 has replaced with a printable character
}

} // namespace

std::string ToWire(const QString& text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes += '?';
            ++i;
            continue;
        }
        if (c >= 0x100) {
            int found = -1;
            for (size_t k = 0; k < kHighControls.size(); ++k)
                if (kHighControls[k] == c) found = static_cast<int>(k);
            bytes += found >= 0 ? static_cast<char>(0x80 + found) : '?';
            continue;
        }
        bytes += ByteFor(c);
    }
    return bytes;
}

QString FromWire(const std::string& bytes)
{
    // One character per byte, written in place: a listing converts a hundred thousand lines.
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    for (unsigned char b : bytes)
        *out++ = b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : char16_t(b);
    return text;
}

std::string ToWire(const QString& text, WireCharset charset)
{
    if (charset == WireCharset::Windows1252) return ToWire(text);
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString FromWire(const std::string& bytes, WireCharset charset)
{
    if (charset == WireCharset::Windows1252) return FromWire(bytes);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

void RememberedName::Remember(const QString& shown, std::string wire)
{
    remembered_ = true;
    shown_ = shown;
    wire_ = std::move(wire);
}

void RememberedName::Forget()
{
    remembered_ = false;
    shown_.clear();
    wire_.clear();
}

std::string RememberedName::WireFor(const QString& text, WireCharset charset) const
{
    if (remembered_ && text == shown_) return wire_;
    return ToWire(text, charset);
}

QString Printable(const QString& text, platform::LineBreaks lineBreaks)
{
    const QByteArray bytes = text.toUtf8();
    return QString::fromStdString(platform::PrintableText(
        std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), lineBreaks));
}

std::string ToLocalPath(const QString& path)
{
    // "~" and "~/..." as a shell would read them: the user types paths as at a prompt.
    if (path == u'~' || path.startsWith(QStringLiteral("~/")))
        return QFile::encodeName(QDir::homePath() + path.mid(1)).toStdString();
    return QFile::encodeName(path).toStdString();
}

QString FromLocalPath(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

} // namespace app
