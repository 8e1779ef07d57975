#pragma once

// The operator's own option files ("Options.ini", "Telecommande.ini"): one
// "key=value" a line, as a person types them. Blanks around the key and the
// value do not count, nor the key's case; blank lines and lines starting with
// '#' are skipped. A line the reader does not understand is named in `bad`
// ("ligne N : …") and skipped, the rest applies.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

namespace tambrel::platform {

// `take(key, value, lineNumber)` says whether it understood the line; a key
// is empty on a line without '='.
using TakeSetting = std::function<bool(const QString& key, const QString& value, int lineNumber)>;
void readKeyValueLines(const QByteArray& bytes, const TakeSetting& take, std::vector<QString>& bad);

// "oui" or "non", in any case.
bool readYesNo(const QString& text, bool& value);
QString yesNoText(bool value);
// A whole number from `lowest` to `highest`.
bool readNumber(const QString& text, int lowest, int highest, int& value);

}  // namespace tambrel::platform
