#pragma once

// What the web page and the program say to each other over the WebSocket,
// one JSON object a message. From the page:
//   {"code":"…"}          first, always: the code kept, empty if none (this
//                         machine's pages need none; the code may come as the
//                         URL's query "?code=" instead)
//   {"appui":i}           press slot i (0 to 27)
//   {"boucle":i}          toggle slot i's loop marker
//   {"palette":"Matin"}   load the palette of that name
// Anything else, or larger than kLargestPageMessage bytes, is ignored.
// To the page:
//   {"touches":[{"i","etat","nom","reste","duree","boucle","sonie"}, …],
//    "palette":"…", "palettes":[…], "couleurs":["#rrggbb", …]}
//                         the slots that changed (all of them at first), the
//                         palette and the list when they changed, the lines' colours;
//                         "sonie": a slot's loudness figures, once measured
//   {"erreur":"…"}        why a request was refused
//   {"code":"demande"|"accepte"|"refuse"|"attendre", "secondes":n}
//                         where the code stands

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "remote/remote_control.h"

namespace tambrel::remote {

inline constexpr qsizetype kLargestPageMessage = 512;

struct PageMessage {
    // Joined: a page the program now speaks to (the server's, never the page's).
    enum class Kind { Joined, Code, Press, Loop, Palette };
    Kind kind = Kind::Joined;
    int slot = 0;
    std::string text;  // the code, or a palette's name (UTF-8)
};

std::optional<PageMessage> readPageMessage(const QByteArray& bytes);

struct PageState {
    std::vector<std::pair<int, SlotView>> views;
    std::optional<QString> palette;
    std::optional<QStringList> palettes;
    std::vector<uint32_t> colours;
    std::optional<int> countdown;  // the slot counted down, -1: none
    int warnMs = 0;
};
QByteArray stateText(const PageState& state);
QByteArray errorText(const QString& why);
QByteArray codeText(const char* where, int seconds = 0);

}  // namespace tambrel::remote
