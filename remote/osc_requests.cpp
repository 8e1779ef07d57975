#include "remote/osc_requests.h"

#include <algorithm>

#include "remote/remote_control.h"

namespace tambrel::remote {
namespace {
QString expected(const OscMessage& message, const char* types) {
    return QStringLiteral("Arguments attendus pour %1 : %2 (reçus : \"%3\")")
        .arg(QString::fromStdString(message.path), QString::fromLatin1(types),
             echoed(QString::fromStdString(message.types)));
}
int32_t integer(const OscMessage& message, size_t i) {
    return std::get<int32_t>(message.args[i]);
}
}  // namespace

std::variant<Request, QString> readRequest(const OscMessage& message) {
    Request request;
    static const std::pair<const char*, Request::Kind> kSlotRequests[] = {
        {"/tambrel/press", Request::Kind::Press},
        {"/tambrel/fade", Request::Kind::Fade},
        {"/tambrel/cue", Request::Kind::Cue}};
    for (const auto& [path, kind] : kSlotRequests) {
        if (message.path != path) continue;
        if (message.types != "i") return expected(message, "i");
        request.kind = kind;
        request.slot = integer(message, 0);
        return request;
    }
    if (message.path == "/tambrel/stopall") {
        if (!message.types.empty()) return expected(message, "aucun");
        request.kind = Request::Kind::StopAll;
    } else if (message.path == "/tambrel/loop") {
        if (message.types == "i") {
            request.kind = Request::Kind::ToggleLoop;
        } else if (message.types == "ii") {
            request.kind = Request::Kind::SetLoop;
            request.on = integer(message, 1) != 0;
        } else {
            return expected(message, "i ou ii");
        }
        request.slot = integer(message, 0);
    } else if (message.path == "/tambrel/palette") {
        if (message.types != "s") return expected(message, "s");
        request.kind = Request::Kind::Palette;
        request.name = QString::fromStdString(std::get<std::string>(message.args[0]));
    } else if (message.path == "/tambrel/subscribe") {
        if (message.types != "i") return expected(message, "i");
        request.kind = Request::Kind::Subscribe;
        request.port = integer(message, 0);
        if (request.port < 1 || request.port > 65535) {
            return QStringLiteral("Port inconnu : %1").arg(request.port);
        }
    } else {
        return QStringLiteral("Adresse inconnue : ") + echoed(QString::fromStdString(message.path));
    }
    return request;
}

std::optional<Incoming> readPacket(const char* data, size_t size, const sockaddr_in& from) {
    const std::optional<OscMessage> message = decodeOsc(data, size);
    if (!message || message->path.starts_with(kStatePrefix) || message->path == "/tambrel/slot" ||
        message->path == "/tambrel/error") {
        return std::nullopt;
    }
    return Incoming{readRequest(*message), from, size};
}

std::vector<char> slotMessage(int index, const char* state, const QString& name,
                              int32_t remainingMs, bool loop) {
    return encodeOsc(std::string(kStatePrefix) + "slot",
                     {int32_t{index}, std::string(state), name.toStdString(), remainingMs,
                      int32_t{loop ? 1 : 0}});
}

std::vector<char> loudnessMessage(int index, const QString& figures) {
    return encodeOsc(std::string(kStatePrefix) + "sonie", {int32_t{index}, figures.toStdString()});
}

std::vector<char> paletteMessage(const QString& name) {
    return encodeOsc(std::string(kStatePrefix) + "palette", {name.toStdString()});
}

std::vector<char> errorMessage(const QString& text) {
    return encodeOsc("/tambrel/error", {text.toStdString()});
}

std::vector<char> errorAnswer(const QString& text, size_t requestSize) {
    const size_t most = requestSize + kAnswerSlack;
    std::vector<char> answer = errorMessage(text);
    // "…" alone fits: the message is then 24 bytes.
    for (qsizetype kept = text.size(); answer.size() > most && kept > 0;) {
        const auto over = static_cast<qsizetype>(answer.size() - most);
        kept = std::max<qsizetype>(0, kept - std::max<qsizetype>(1, over / 4));
        answer = errorMessage(text.left(kept - kept / 2) + u'…' + text.right(kept / 2));
    }
    return answer;
}

}  // namespace tambrel::remote
