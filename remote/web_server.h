#pragma once

// The web page's endpoint: an HTTP server for the page's own files (from
// the program's resources, no path of the file system) and its WebSocket,
// on a thread of its own with its own event loop, so that pages never cost
// the window's thread more than the requests they carry. A host the
// allow-list does not name gets neither (this machine always may); a page
// from another machine must give the code before anything it asks is
// taken; at most kMostPages pages at once; each page's messages are bounded
// in size and paced. A request must name this machine (Host) as one of its
// addresses or names, and a WebSocket must come from the page served here
// (Origin): a page of another site, or a name rebound to this machine,
// gets 403 and nothing it says is read. Requests are queued for the window's thread, which
// `wake` is called to drain; what it sends back crosses the other way.

#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "remote/remote_settings.h"
#include "remote/web_messages.h"

namespace tambrel::remote {

struct WebIncoming {
    uint64_t page = 0;
    PageMessage message;
};

class WebServer {
  public:
    static constexpr size_t kMostPages = 32;
    static constexpr size_t kMostWaiting = 256;

    // Listens at once at the settings' address and web port; problem() says why it could not.
    WebServer(const RemoteSettings& settings, std::function<void()> wake);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    const QString& problem() const { return problem_; }
    int port() const { return port_; }

    // What arrived since the last call, oldest first.
    std::deque<WebIncoming> take();
    // To one page, or to every page that joined (page 0). A page joins, and
    // is sent what goes to all, from the first message sent to it with `joins`.
    void send(uint64_t page, std::string text, bool joins = false);
    size_t joined() const;
    uint64_t dropped() const;

    struct Shared;

  private:
    class Loop;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Loop> loop_;
    QString problem_;
    int port_ = 0;
};

}  // namespace tambrel::remote
