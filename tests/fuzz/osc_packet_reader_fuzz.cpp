// Fuzzes what the OSC endpoint does with a packet from the network: decode
// it, and read a request out of it. No crash, no hang, and a request read
// is one of the address space's, with its arguments.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "remote/osc_requests.h"
#include "tests/fuzz/require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tambrel::remote;
    const std::optional<OscMessage> message = decodeOsc(reinterpret_cast<const char*>(data), size);
    if (!message) return 0;
    require(message->args.size() <= message->types.size());
    const auto read = readRequest(*message);
    if (const auto* request = std::get_if<Request>(&read)) {
        require(message->path.rfind("/tambrel/", 0) == 0);
        if (request->kind == Request::Kind::Subscribe) {
            require(request->port >= 1 && request->port <= 65535);
        }
    } else {
        require(!std::get<QString>(read).isEmpty());  // a refusal says why
    }
    // What goes back is well formed: it decodes to what was sent.
    const std::vector<char> answer = errorMessage(QStringLiteral("Touche vide : A"));
    const std::optional<OscMessage> back = decodeOsc(answer.data(), answer.size());
    require(back && back->path == "/tambrel/error" && back->types == "s");
    return 0;
}
