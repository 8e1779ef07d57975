#include "platform/audio/server_link.h"

#include <algorithm>
#include <utility>

namespace tambrel::audio {

ServerLink::ServerLink(Connect connect, Clock::duration firstWait) : connect_(std::move(connect)) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, firstWait, [this] { return tried_; });
}

ServerLink::~ServerLink() {
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

// A connection lost since the thread last looked is told as lost at once,
// as its outputs tell it.
ServerLink::Known ServerLink::known() const {
    const std::lock_guard lock(mutex_);
    if (known_.connection && !known_.connection->alive())
        return {{}, {}, "connexion perdue", 0, {}};
    return known_;
}

std::optional<std::string> ServerLink::defaultDescription() const {
    const Known now = known();
    if (!now.defaultSink) return std::nullopt;
    const auto found = std::ranges::find(now.sinks, *now.defaultSink, &ServerSink::name);
    if (found == now.sinks.end()) return std::nullopt;
    return found->description;
}

bool ServerLink::alive() const {
    const std::lock_guard lock(mutex_);
    return known_.connection != nullptr && known_.connection->alive();
}

bool ServerLink::tried() const {
    const std::lock_guard lock(mutex_);
    return tried_;
}

bool ServerLink::takeNews() {
    const std::lock_guard lock(mutex_);
    return std::exchange(news_, false);
}

bool ServerLink::pause(Clock::duration time) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, time, [this] { return quit_; });
}

void ServerLink::publish(Known known) {
    {
        const std::lock_guard lock(mutex_);
        // A connection made again to the same devices is no news: the
        // outputs on the old one say themselves that they are lost.
        news_ |= (known.connection == nullptr) != (known_.connection == nullptr) ||
                 known.sinks != known_.sinks;
        known_ = std::move(known);
        tried_ = true;
    }
    changed_.notify_all();
}

void ServerLink::run() {
    std::shared_ptr<ServerConnection> connection;
    Clock::time_point started{};
    Clock::time_point nextTry{};  // at once
    bool listed = false;          // the connection's sinks were told
    bool listAgain = false;       // the server did not answer the last listing
    do {
        if (!connection) {
            if (Clock::now() < nextTry) continue;
            connection = connect_();
            started = Clock::now();
            listed = false;
        }
        if (connection->alive() && (!listed || listAgain || connection->takeChange())) {
            std::optional<std::vector<ServerSink>> sinks = connection->sinks();
            listAgain = !sinks;
            if (sinks) {
                publish({connection,
                         std::move(*sinks),
                         {},
                         connection->rate(),
                         connection->defaultSink()});
                listed = true;
            }
        }
        const bool unanswered = !listed && Clock::now() - started >= kAnswerTime;
        if (connection->ended() || unanswered) {
            std::string failure =
                unanswered && !connection->ended() ? "pas de réponse" : connection->failure();
            // Lost after it worked, it may be back already; a try that
            // failed waits, or a server slow to refuse would be asked
            // without end.
            nextTry = listed ? Clock::now() : Clock::now() + kRetryPause;
            connection.reset();
            publish({nullptr, {}, std::move(failure), 0, {}});
        }
    } while (pause(kLook));
}

}  // namespace tambrel::audio
