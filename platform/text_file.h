#pragma once

// The program's text files: written in UTF-8 with CR LF line ends; read as
// UTF-8, or as Windows-1252 when the bytes are not valid UTF-8 (files from
// the 8-bit days), taking CR LF, CR or LF as a line end. Numbers are
// written in the numeric print form, a blank (or "-"), the digits and one
// trailing blank, and read back skipping the blanks and line ends around them.

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace tambrel::platform {

// Descriptions of the reading failures, as the operator sees them.
inline const char* const kPastEndOfFile = "Lecture après la fin du fichier";
inline const char* const kTypeMismatch = "Type incompatible";
inline const char* const kOverflow = "Dépassement de capacité";

QString decodeText(const QByteArray& bytes);

// " 42 ", "-7 ".
QByteArray printNumber(int32_t value);

class TextReader {
  public:
    explicit TextReader(const QByteArray& bytes) : text_(decodeText(bytes)) {}
    bool atEnd() const { return at_ >= text_.size(); }
    // The next whole line without its line end; false at the end of the text.
    bool readLine(QString& line);
    // The next number; false with `error` set when there is none, it is not
    // a number or it does not fit in 32 bits.
    bool readNumber(int32_t& value, QString& error);

  private:
    QString text_;
    qsizetype at_ = 0;
};

}  // namespace tambrel::platform
