#pragma once

// "Telecommande.ini" in the program folder, optional, one "key=value" a line
// ("#" starts a comment):
//   osc=oui|non          OSC on or off (on)
//   adresse=127.0.0.1    the address OSC listens on; 0.0.0.0 for the studio network
//   autorises=192.168.10.0/24, 192.168.10.31
//                        the hosts and networks that may speak to it from afar,
//                        needed to listen beyond this machine; lines add up
//   port=9100            its UDP port
//   midi=oui|non         the MIDI port on or off (on)
//   note=36              the note of slot A; the 28 slots take the notes from there
//   canal=0              the MIDI channel listened to, 1 to 16; 0 for any
//   note_tout_arreter=   the note that stops everything, as Échap; none by default
//   web=oui|non          the web page on or off (on), at the OSC address
//   web_port=9180        its TCP port
//   code=                what a page from another machine must give; none: only
//                        this machine's pages
//   noms=studio.lan, regie
//                        names this machine is reached by, besides its host
//                        name and addresses, that a page may be opened at;
//                        lines add up

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "remote/allow_list.h"
#include "remote/web_gate.h"

namespace tambrel::remote {

struct RemoteSettings {
    bool osc = true;
    std::string address = "127.0.0.1";
    AllowList allowed;
    int port = 9100;
    bool midi = true;
    int firstNote = 36;
    int channel = 0;
    int stopAllNote = -1;  // none
    bool web = true;
    int webPort = 9180;
    QString code;
    QStringList names;    // lower case
    WebLimits webLimits;  // not from the file
};

// The settings the file's lines give, the others as by default; `bad`
// receives the lines not understood, as "ligne N : text", and the entries
// of autorises= and noms= not understood, as "ligne N, autorises : entry".
RemoteSettings readRemoteSettings(const QByteArray& bytes, std::vector<QString>& bad);

// Listening beyond this machine without a list of who may speak would let
// any host steer the palette: the address becomes 127.0.0.1, and this says why.
std::optional<QString> confineWithoutAllowList(RemoteSettings& settings);

}  // namespace tambrel::remote
