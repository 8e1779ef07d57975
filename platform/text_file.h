#pragma once

// The program's text files: written with CR LF line ends; read line by line,
// each line as UTF-8, or as Windows-1252 when its bytes are not valid UTF-8
// (files from the 8-bit days, or edited on both systems), taking CR LF, CR
// or LF as a line end. A file that held a Windows-1252 line is written back
// in Windows-1252 when every character fits, so that the 8-bit programs it
// came from can still read it; every other file is written in UTF-8. Numbers are
// written in the numeric print form, a blank (or "-"), the digits and one
// trailing blank, and read back skipping the blanks and line ends around them.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>

namespace tambrel::platform {

// Descriptions of the reading failures, as the operator sees them.
inline const char* const kPastEndOfFile = "Lecture après la fin du fichier";
inline const char* const kTypeMismatch = "Type incompatible";
inline const char* const kOverflow = "Dépassement de capacité";

enum class TextEncoding { Utf8, Windows1252 };

// One line, or one file name as an 8-bit copy left it on disk: UTF-8 when
// its bytes are valid UTF-8, Windows-1252 otherwise (then Windows1252 in
// `found`, which is left alone otherwise).
QString decodeLine(QByteArrayView bytes, TextEncoding* found = nullptr);
// The text, and Windows1252 in `found` when some line was read as such.
QString decodeText(const QByteArray& bytes, TextEncoding* found = nullptr);
// In `encoding` when every character fits, in UTF-8 otherwise.
QByteArray encodeText(const QString& text, TextEncoding encoding);

// " 42 ", "-7 ".
QByteArray printNumber(int32_t value);

class TextReader {
  public:
    explicit TextReader(const QByteArray& bytes) : text_(decodeText(bytes, &encoding_)) {}
    bool atEnd() const { return at_ >= text_.size(); }
    TextEncoding encoding() const { return encoding_; }
    // The next whole line without its line end; false at the end of the text.
    bool readLine(QString& line);
    // The next number; false with `error` set when there is none, it is not
    // a number or it does not fit in 32 bits.
    bool readNumber(int32_t& value, QString& error);

  private:
    TextEncoding encoding_ = TextEncoding::Utf8;
    QString text_;
    qsizetype at_ = 0;
};

}  // namespace tambrel::platform
