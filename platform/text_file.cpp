#include "platform/text_file.h"

#include <QStringDecoder>
#include <algorithm>
#include <iterator>
#include <limits>

namespace tambrel::platform {
namespace {

// Windows-1252 differs from Latin-1 only from 0x80 to 0x9F. Its five unused
// bytes stand for the control characters of the same number, as Windows
// reads them, so that every byte of a file comes back as it was.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString fromWindows1252(QByteArrayView bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text[i] = byte >= 0x80 && byte < 0xA0 ? QChar(kHighControls[byte - 0x80]) : QChar(byte);
    }
    return text;
}

// False when some character has no Windows-1252 byte.
bool toWindows1252(const QString& text, QByteArray& bytes) {
    bytes.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            bytes[i] = static_cast<char>(c);
            continue;
        }
        const auto* high = std::find(std::begin(kHighControls), std::end(kHighControls), c);
        if (high == std::end(kHighControls)) return false;
        bytes[i] = static_cast<char>(0x80 + (high - std::begin(kHighControls)));
    }
    return true;
}

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}
bool isLineEnd(QChar c) {
    return c == u'\r' || c == u'\n';
}

}  // namespace

QString decodeLine(QByteArrayView bytes, TextEncoding* found) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString decoded = utf8(bytes);
    if (!utf8.hasError()) return decoded;
    if (found != nullptr) *found = TextEncoding::Windows1252;
    return fromWindows1252(bytes);
}

QString decodeText(const QByteArray& bytes, TextEncoding* found) {
    if (found != nullptr) *found = TextEncoding::Utf8;
    QString text;
    text.reserve(bytes.size());
    qsizetype at = 0;
    while (at < bytes.size()) {
        qsizetype end = at;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        text += decodeLine(QByteArrayView(bytes.constData() + at, end - at), found);
        if (end < bytes.size()) text += QChar(bytes[end]);  // the line end as it was
        at = end + 1;
    }
    while (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);  // a byte-order mark is no path
    return text;
}

QByteArray encodeText(const QString& text, TextEncoding encoding) {
    QByteArray bytes;
    // A line whose 8-bit bytes happen to be valid UTF-8 would read back as
    // other characters: then the file is written in UTF-8.
    if (encoding == TextEncoding::Windows1252 && toWindows1252(text, bytes) &&
        decodeText(bytes) == text) {
        return bytes;
    }
    return text.toUtf8();
}

QByteArray printNumber(int32_t value) {
    const QByteArray digits = QByteArray::number(
        static_cast<qint64>(value) < 0 ? -static_cast<qint64>(value) : static_cast<qint64>(value));
    return (value < 0 ? QByteArray("-") : QByteArray(" ")) + digits + ' ';
}

bool TextReader::readLine(QString& line) {
    if (atEnd()) return false;
    qsizetype end = at_;
    while (end < text_.size() && !isLineEnd(text_[end])) ++end;
    line = text_.mid(at_, end - at_);
    at_ = end;
    if (at_ < text_.size() && text_[at_] == u'\r') ++at_;
    if (at_ < text_.size() && text_[at_] == u'\n') ++at_;
    return true;
}

bool TextReader::readNumber(int32_t& value, QString& error) {
    while (!atEnd() && (isBlank(text_[at_]) || isLineEnd(text_[at_]))) ++at_;
    if (atEnd()) {
        error = QString::fromUtf8(kPastEndOfFile);
        return false;
    }
    qsizetype end = at_;
    while (end < text_.size() && !isBlank(text_[end]) && !isLineEnd(text_[end]) &&
           text_[end] != u',') {
        ++end;
    }
    const QString token = text_.mid(at_, end - at_);
    at_ = end;
    if (at_ < text_.size() && text_[at_] == u',') ++at_;  // a comma ends the field
    bool ok = false;
    const qlonglong number = token.toLongLong(&ok);
    if (!ok) {
        // All digits yet no number: too long for any integer.
        bool digits = !token.isEmpty();
        for (qsizetype i = token.startsWith(u'-') || token.startsWith(u'+') ? 1 : 0;
             i < token.size(); ++i) {
            digits = digits && token[i].isDigit();
        }
        error = QString::fromUtf8(digits ? kOverflow : kTypeMismatch);
        return false;
    }
    if (number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<int32_t>::max()) {
        error = QString::fromUtf8(kOverflow);
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

}  // namespace tambrel::platform
