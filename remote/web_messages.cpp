#include "remote/web_messages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>

namespace tambrel::remote {
namespace {
// Longer than any code or palette name an operator would type.
constexpr qsizetype kLongestText = 128;

std::optional<int> slotNumber(const QJsonValue& value) {
    if (!value.isDouble()) return std::nullopt;
    const double number = value.toDouble();
    // Any whole number is a request (the core refuses those out of range).
    if (number != std::floor(number) || std::abs(number) > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(number);
}

std::optional<std::string> shortText(const QJsonValue& value) {
    if (!value.isString() || value.toString().size() > kLongestText) return std::nullopt;
    return value.toString().toStdString();
}
}  // namespace

std::optional<PageMessage> readPageMessage(const QByteArray& bytes) {
    if (bytes.size() > kLargestPageMessage) return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    const QJsonObject object = document.object();
    if (object.size() != 1) return std::nullopt;
    const QString key = object.begin().key();
    const QJsonValue value = object.begin().value();
    PageMessage message;
    if (key == u"appui" || key == u"boucle") {
        const std::optional<int> slot = slotNumber(value);
        if (!slot) return std::nullopt;
        message.kind = key == u"appui" ? PageMessage::Kind::Press : PageMessage::Kind::Loop;
        message.slot = *slot;
    } else if (key == u"code" || key == u"palette") {
        std::optional<std::string> text = shortText(value);
        if (!text) return std::nullopt;
        message.kind = key == u"code" ? PageMessage::Kind::Code : PageMessage::Kind::Palette;
        message.text = std::move(*text);
    } else {
        return std::nullopt;
    }
    return message;
}

QByteArray stateText(const PageState& state) {
    QJsonObject object;
    QJsonArray views;
    for (const auto& [index, view] : state.views) {
        QJsonObject slot{{QStringLiteral("i"), index},
                         {QStringLiteral("etat"), QString::fromLatin1(stateName(view.state))},
                         {QStringLiteral("nom"), view.name},
                         {QStringLiteral("reste"), view.remainingMs},
                         {QStringLiteral("duree"), view.lengthMs},
                         {QStringLiteral("boucle"), view.loop}};
        if (!view.loudness.isEmpty()) slot.insert(QStringLiteral("sonie"), view.loudness);
        views.append(slot);
    }
    object.insert(QStringLiteral("touches"), views);
    if (state.palette) object.insert(QStringLiteral("palette"), *state.palette);
    if (state.palettes) {
        object.insert(QStringLiteral("palettes"), QJsonArray::fromStringList(*state.palettes));
    }
    if (!state.colours.empty()) {
        QJsonArray colours;
        for (const uint32_t colour : state.colours) {
            colours.append(QStringLiteral("#%1").arg(colour & 0xffffffU, 6, 16, QChar(u'0')));
        }
        object.insert(QStringLiteral("couleurs"), colours);
    }
    if (state.countdown) {
        object.insert(QStringLiteral("decompte"), *state.countdown);
        object.insert(QStringLiteral("alerte_ms"), state.warnMs);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray errorText(const QString& why) {
    return QJsonDocument(QJsonObject{{QStringLiteral("erreur"), why}})
        .toJson(QJsonDocument::Compact);
}

QByteArray codeText(const char* where, int seconds) {
    QJsonObject object{{QStringLiteral("code"), QString::fromLatin1(where)}};
    if (seconds > 0) object.insert(QStringLiteral("secondes"), seconds);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace tambrel::remote
