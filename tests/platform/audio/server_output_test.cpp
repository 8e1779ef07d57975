// The system's outputs: the sound server's, through libpulse on a private
// PulseAudio and natively on a private PipeWire, whose null sinks come and go
// and which is lost and found; SDL's when there is no server.

#include "platform/audio/pulse_output.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "platform/audio/audio_engine.h"
#include "platform/audio/mixer.h"
#include "platform/audio/pipewire_output.h"
#include "platform/audio/sdl_output.h"
#include "platform/audio/sound.h"
#include "platform/audio/stream_worker.h"
#include "platform/audio/system_output.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/pulse_server.h"
#include "tests/support/sink_recorder.h"
#include "tests/support/test_audio.h"
#include "tests/support/wait.h"

namespace tambrel::audio {
namespace {

using namespace std::chrono_literals;

using Names = std::vector<std::string>;
constexpr int kRate = 44100;

// Waits up to ten seconds (a fresh null sink runs two seconds ahead before it
// takes a stream's latency) for `done`, turning the engine's pump as the
// window's timer does; returns the voices pump() reported meanwhile.
template <typename Done>
std::vector<int> pumpUntil(AudioEngine& engine, Done done) {
    std::vector<int> ended;
    auto pumped = [&] {
        for (int voice : engine.pump()) ended.push_back(voice);
        return done();
    };
    testing::waitUntil(pumped, 10s, 5ms);
    pumped();  // what the last change brought
    return ended;
}

bool advances(AudioEngine& engine, int voice, int64_t frames) {
    const int64_t from = engine.position(voice);
    pumpUntil(engine, [&] { return engine.position(voice) > from + frames; });
    return engine.position(voice) > from + frames;
}

bool saysChangedWithin(OutputBackend& backend, std::chrono::milliseconds limit) {
    return testing::waitUntil([&] { return backend.devicesMayHaveChanged(); }, limit, 5ms);
}

// Polls as the window does, listing the devices again each time the backend
// (or the engine on it) says they may have changed, for up to five seconds.
template <typename Backend>
::testing::AssertionResult follows(Backend& backend, const Names& wanted) {
    Names names;
    if (testing::waitUntil(
            [&] {
                if (backend.devicesMayHaveChanged()) names = backend.deviceNames();
                return names == wanted;
            },
            5s, 5ms)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the list is " << ::testing::PrintToString(names);
}

enum class Server { Pulse, PipeWire };

std::unique_ptr<testing::SoundServer> startServer(Server kind, const std::string& folder,
                                                  const Names& more = {}) {
    if (kind == Server::PipeWire) {
        return std::make_unique<testing::PipeWireServer>(folder, "Studio", kRate, more);
    }
    return std::make_unique<testing::PulseServer>(folder, "Studio", kRate, more);
}

std::unique_ptr<OutputBackend> connectTo(Server kind) {
    if (kind == Server::PipeWire) return std::make_unique<PipeWireBackend>();
    return std::make_unique<PulseBackend>();
}

class ServerOutputTest : public ::testing::Test {
  protected:
    virtual Server kind() const = 0;
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // libpipewire is not instrumented and hands its sockets between its
        // threads under its own locks: all its threads would have to be left out.
        if (kind() == Server::PipeWire)
            GTEST_SKIP() << "PipeWire is not checked under ThreadSanitizer";
#endif
        folder_ = dir_.file("server");
        std::filesystem::create_directory(folder_);
        server_ = startServer(kind(), folder_, {"Cue"});
        ASSERT_TRUE(testing::writeAudio(dir_.file("tone.wav"), testing::FileKind::Wav16, kRate, 2,
                                        kRate * 10, testing::staircase));
    }
    // The server back after stop(), with its default sink only.
    void restartServer() {
        server_.reset();
        server_ = startServer(kind(), folder_);
    }

    testing::TempDir dir_;
    std::string folder_;
    std::unique_ptr<testing::SoundServer> server_;
};

// What both servers' outputs do alike.
class EachServerTest : public ServerOutputTest, public ::testing::WithParamInterface<Server> {
  protected:
    Server kind() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Servers, EachServerTest,
                         ::testing::Values(Server::Pulse, Server::PipeWire), [](const auto& info) {
                             return info.param == Server::Pulse ? "PulseAudio" : "PipeWire";
                         });

template <Server kKind>
class OneServerTest : public ServerOutputTest {
  protected:
    Server kind() const override { return kKind; }
};
// libpulse's queue, and streams closed while the server has yet to answer.
using PulseOutputTest = OneServerTest<Server::Pulse>;
// The quantum asked of PipeWire's graph and followed, and the choice of output at start.
using PipeWireOutputTest = OneServerTest<Server::PipeWire>;

TEST_P(EachServerTest, PlaybacksAdvanceAndALostSinkEndsOnlyItsOwnALostServerAllUntilItIsBack) {
    auto backend = connectTo(kind());
    EXPECT_EQ(backend->problem(), "");
    AudioEngine engine(std::move(backend));
    auto tone = engine.load(dir_.file("tone.wav"));
    const int onDefault = engine.createVoice();
    const int onStudio = engine.createVoice();
    const int onCue = engine.createVoice();
    EXPECT_FALSE(engine.play(onStudio, tone, "Régie B", 1.0f));  // no such sink
    ASSERT_TRUE(engine.play(onDefault, tone, std::nullopt, 1.0f));
    // The server pulls in real time: 0.2 s of sound within a few seconds.
    EXPECT_TRUE(advances(engine, onDefault, kRate / 5));
    EXPECT_TRUE(engine.stop(onDefault));
    ASSERT_TRUE(engine.play(onStudio, tone, "Studio", 1.0f));
    ASSERT_TRUE(engine.play(onCue, tone, "Cue", 1.0f));
    EXPECT_TRUE(advances(engine, onStudio, kRate / 5));

    ASSERT_TRUE(server_->removeSink("Studio"));
    EXPECT_EQ(pumpUntil(engine, [&] { return !engine.sounding(onStudio); }),
              std::vector<int>{onStudio});
    EXPECT_TRUE(engine.sounding(onCue));
    // Gone from the list, and a start on it sounds nothing, not elsewhere.
    EXPECT_TRUE(follows(engine, {"Cue"}));
    EXPECT_FALSE(engine.play(onStudio, tone, "Studio", 1.0f));
    EXPECT_TRUE(advances(engine, onCue, kRate / 10));

    server_->stop();
    EXPECT_EQ(pumpUntil(engine, [&] { return !engine.sounding(onCue); }), std::vector<int>{onCue});
    EXPECT_TRUE(engine.deviceNames().empty());
    EXPECT_NE(engine.backendProblem(), "");
    EXPECT_FALSE(engine.play(onCue, tone, std::nullopt, 1.0f));

    // Found again without being asked, within the pause between two tries.
    restartServer();
    EXPECT_TRUE(testing::waitUntil([&] { return engine.backendProblem().empty(); }, 5s, 5ms));
    EXPECT_EQ(engine.deviceNames(), Names{"Studio"});
    ASSERT_TRUE(engine.play(onStudio, tone, "Studio", 1.0f));
    EXPECT_TRUE(advances(engine, onStudio, kRate / 10));
}

// Each true from devicesMayHaveChanged() costs the window a listing: they
// come only with news. While the server is gone the backend looks for it
// by itself, and there is none until it is back. The default device is the
// server's, as the desktop moves it, with no stream open to bring news of sinks.
TEST_P(EachServerTest, SinksPluggedInAndOutAndAServerGoneAndBackAreNoticedWithoutAsking) {
    const std::unique_ptr<OutputBackend> backend = connectTo(kind());
    const auto defaultIs = [&](const std::optional<std::string>& device) {
        return testing::waitUntil([&] { return backend->defaultDeviceName() == device; }, 5s, 5ms);
    };
    EXPECT_TRUE(defaultIs("Studio"));
    ASSERT_TRUE(backend->devicesMayHaveChanged());  // the first list is news
    ASSERT_EQ(backend->deviceNames(), (Names{"Studio", "Cue"}));
    EXPECT_FALSE(saysChangedWithin(*backend, 200ms));
    ASSERT_TRUE(server_->addSink("Casque"));
    EXPECT_TRUE(follows(*backend, {"Studio", "Cue", "Casque"}));
    ASSERT_TRUE(server_->removeSink("Casque"));
    EXPECT_TRUE(follows(*backend, {"Studio", "Cue"}));
    ASSERT_TRUE(server_->addSink("Casque"));  // the same headset, back
    EXPECT_TRUE(follows(*backend, {"Studio", "Cue", "Casque"}));
    // In the order plugged in, though a server may give a new sink a freed id.
    ASSERT_TRUE(server_->removeSink("Cue"));
    ASSERT_TRUE(server_->addSink("Micro"));
    EXPECT_TRUE(follows(*backend, {"Studio", "Casque", "Micro"}));
    // Quiet again once that change's events are in (a new sink brings a change event too).
    static_cast<void>(saysChangedWithin(*backend, 100ms));
    EXPECT_FALSE(saysChangedWithin(*backend, 200ms));
    ASSERT_TRUE(testing::setDefaultSink("Micro"));
    EXPECT_TRUE(defaultIs("Micro"));
    EXPECT_FALSE(saysChangedWithin(*backend, 200ms));  // the list is the same

    server_->stop();
    EXPECT_TRUE(follows(*backend, {}));
    EXPECT_TRUE(defaultIs(std::nullopt));
    static_cast<void>(saysChangedWithin(*backend, 100ms));  // sinks gone, then the server
    EXPECT_FALSE(saysChangedWithin(*backend, 2500ms));      // tried again, in vain

    restartServer();
    EXPECT_TRUE(follows(*backend, {"Studio"}));
    EXPECT_TRUE(defaultIs("Studio"));
    // Connected again (a fresh connection's first answer is true): events
    // once more, not the rate of a lost server.
    static_cast<void>(saysChangedWithin(*backend, 100ms));
    EXPECT_FALSE(saysChangedWithin(*backend, 200ms));
    ASSERT_TRUE(server_->addSink("Casque"));
    EXPECT_TRUE(follows(*backend, {"Studio", "Casque"}));
}

// Where the server's socket was, one that takes connections and never says
// a word, as a server hung on a machine that has stopped it.
class SilentServer {
  public:
    explicit SilentServer(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof(address.sun_path)) return;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        unlink(path.c_str());
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
              listen(fd_, 64) == 0;
    }
    ~SilentServer() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
};

// The window's thread, for `time`, as its timers and a slot's press use the
// engine: the pump every 5 ms, with the device list each time it may have
// changed (asked every 200 ms), the chosen device kept open, and, when
// `pressing`, a press every 100 ms on the default device or on "Studio",
// which on failure asks what the slot then shows. The longest of those
// turns, and how many presses started.
struct WindowTurns {
    std::chrono::steady_clock::duration longest{};
    int started = 0;
};
WindowTurns runWindow(AudioEngine& engine, int voice, const std::shared_ptr<Sound>& sound,
                      std::chrono::milliseconds time, bool pressing) {
    using Clock = std::chrono::steady_clock;
    WindowTurns turns;
    const auto turn = [&](auto work) {
        const auto start = Clock::now();
        work();
        turns.longest = std::max(turns.longest, Clock::now() - start);
    };
    const std::optional<std::string> devices[] = {std::nullopt, "Studio"};
    const auto end = Clock::now() + time;
    for (int tick = 0; Clock::now() < end; ++tick) {
        turn([&] {
            engine.pump();
            if (tick % 40 == 0 && engine.devicesMayHaveChanged()) engine.deviceNames();
        });
        if (tick % 20 == 0) turn([&] { engine.prepare(std::nullopt); });
        if (pressing && tick % 20 == 10) {
            turn([&] {
                if (engine.play(voice, sound, devices[tick / 20 % 2], 1.0f)) {
                    ++turns.started;
                } else {
                    engine.deviceNames();
                    EXPECT_NE(engine.startProblem(devices[tick / 20 % 2]), "");
                }
            });
        }
        std::this_thread::sleep_for(5ms);
    }
    return turns;
}

double ms(std::chrono::steady_clock::duration time) {
    return std::chrono::duration<double, std::milli>(time).count();
}

// A recording was made, and all of it is silence.
bool heardNothing(const testing::SinkRecorder& recorder) {
    const std::vector<float> heard = recorder.samples();
    return !heard.empty() && std::ranges::all_of(heard, [](float x) { return x == 0.0f; });
}

TEST_P(EachServerTest,
       WithoutAServerTheSystemOutputIsSdlsAndOneThatNeverAnswersNeverHoldsTheWindow) {
    const auto usable = [](OutputBackend& backend) {
        if (auto* pulse = dynamic_cast<PulseBackend*>(&backend)) return pulse->usable();
        return dynamic_cast<PipeWireBackend&>(backend).usable();
    };
    server_->stop();
    {
        const std::unique_ptr<OutputBackend> backend = connectTo(kind());
        EXPECT_FALSE(usable(*backend));
        EXPECT_NE(backend->problem(), "");
        EXPECT_TRUE(backend->deviceNames().empty());
        EXPECT_TRUE(backend->devicesMayHaveChanged());  // never connected: the caller should look
        EXPECT_FALSE(backend->devicesMayHaveChanged());
        EXPECT_NE(dynamic_cast<SdlBackend*>(systemOutput().get()), nullptr);
    }
    auto silent = std::make_unique<SilentServer>(
        folder_ + (kind() == Server::PipeWire ? "/pipewire-0" : "/pulse.sock"));
    ASSERT_TRUE(silent->ok());
    {
        // A start keeps the server that took the connection, without
        // waiting for it, and does not try SDL, which would wait on it.
        const auto before = std::chrono::steady_clock::now();
        std::string chosen;
        const std::unique_ptr<OutputBackend> output = systemOutput(&chosen);
        const auto took = std::chrono::steady_clock::now() - before;
        std::printf("a start with a server that never answers: %s in %.0f ms\n", chosen.c_str(),
                    ms(took));
        EXPECT_EQ(chosen, kind() == Server::PipeWire ? "PipeWire (sans réponse)"
                                                     : "PulseAudio (sans réponse)");
        EXPECT_LT(took, 2s);
    }
    {
        // SDL's own driver for that server answers the window at once too.
        setenv("SDL_AUDIODRIVER", kind() == Server::PipeWire ? "pipewire" : "pulseaudio", 1);
        const auto before = std::chrono::steady_clock::now();
        AudioEngine engine(std::make_unique<SdlBackend>(100ms));
        const auto made = std::chrono::steady_clock::now() - before;
        const auto tone = engine.load(dir_.file("tone.wav"));
        const WindowTurns turns = runWindow(engine, engine.createVoice(), tone, 2s, true);
        unsetenv("SDL_AUDIODRIVER");
        std::printf("SDL with that server: made in %.1f ms, longest turn of the window %.1f ms\n",
                    ms(made), ms(turns.longest));
        EXPECT_LT(made, 250ms);
        EXPECT_LT(turns.longest, 250ms);
        EXPECT_EQ(turns.started, 0);
    }
    std::unique_ptr<OutputBackend> backend = connectTo(kind());
    EXPECT_FALSE(usable(*backend));
    AudioEngine engine(std::move(backend));
    const auto tone = engine.load(dir_.file("tone.wav"));
    const int voice = engine.createVoice();
    const WindowTurns idle = runWindow(engine, voice, tone, 3s, false);
    const WindowTurns pressed = runWindow(engine, voice, tone, 3s, true);
    std::printf(
        "longest turn of the window with a server that never answers: %.1f ms idle, "
        "%.1f ms with presses\n",
        ms(idle.longest), ms(pressed.longest));
    EXPECT_LT(idle.longest, 250ms);
    EXPECT_LT(pressed.longest, 250ms);
    EXPECT_EQ(pressed.started, 0);

    // The server comes back where it was: found without a press, and the
    // presses made meanwhile are not played late.
    silent.reset();
    restartServer();
    testing::SinkRecorder studio("Studio", kRate);
    ASSERT_TRUE(studio.ok());
    EXPECT_TRUE(testing::waitUntil([&] { return engine.backendProblem().empty(); }, 8s, 20ms));
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            engine.pump();
            return engine.prepare(std::nullopt) && engine.queuedMs(std::nullopt) > 0;
        },
        5s, 5ms));
    runWindow(engine, voice, tone, 500ms, false);
    studio.stop();
    EXPECT_TRUE(heardNothing(studio));
    EXPECT_TRUE(engine.play(voice, tone, "Studio", 1.0f));
    EXPECT_TRUE(advances(engine, voice, kRate / 10));
}

// Hung after it answered: a press fails at once while the server holds
// still (or, taken before that was seen, is dropped as late), and sounds
// nothing when it comes back; the next one plays.
TEST_P(EachServerTest, APressWhileTheServerHoldsStillFailsAtOnceAndIsNotPlayedWhenItGoesOn) {
    AudioEngine engine(connectTo(kind()));
    const auto tone = engine.load(dir_.file("tone.wav"));
    const int voice = engine.createVoice();
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            engine.pump();
            return engine.prepare("Studio") && engine.queuedMs("Studio") > 0;
        },
        5s, 5ms));
    std::this_thread::sleep_for(2500ms);  // a fresh null sink's first seconds
    testing::SinkRecorder studio("Studio", kRate);
    ASSERT_TRUE(studio.ok());
    // Pressed before the device is seen stalled: taken, and dropped when the
    // server goes on, as it comes too late. Then pressed from when the
    // device has been seen stalled until well before the server goes on.
    std::thread hold([&] { server_->pause(2000ms); });
    std::this_thread::sleep_for(100ms);
    const int early = engine.createVoice();
    EXPECT_TRUE(engine.play(early, tone, "Studio", 1.0f));
    std::this_thread::sleep_for(PullWatch::kStalled + 200ms);
    const WindowTurns held = runWindow(engine, voice, tone, 600ms, true);
    hold.join();
    runWindow(engine, voice, tone, 500ms, false);
    studio.stop();
    EXPECT_TRUE(engine.startedLate(early));
    std::printf("longest turn of the window while the server holds still: %.1f ms\n",
                ms(held.longest));
    EXPECT_LT(held.longest, 250ms);
    EXPECT_EQ(held.started, 0);
    EXPECT_TRUE(heardNothing(studio));
    EXPECT_TRUE(engine.play(voice, tone, "Studio", 1.0f));
    EXPECT_TRUE(advances(engine, voice, kRate / 10));
}

// The server answers a closing stream later, and requests still pending until
// then would call back into an output already gone: under the sanitizers a
// use after free, in a plain build memory overwritten at random.
TEST_F(PulseOutputTest, AStreamStartsWithItsReserveQueuedAndOnceClosedIsNeverCalledBack) {
    PulseBackend backend;
    Mixer mixer(kRate);
    const double reserve = kRate * 0.001 * PulseBackend::kReserve.count();
    for (int round = 0; round < 30; ++round) {
        const std::unique_ptr<AudioOutput> output =
            backend.open("Cue", mixer, kRate, kPeriodFrames);
        ASSERT_NE(output, nullptr);
        if (round == 0) {  // a start waits behind a few ms, not behind the reserve
            EXPECT_TRUE(testing::waitUntil([&] { return output->queuedFrames() > 0; }, 1s));
            EXPECT_LT(output->queuedFrames(), kRate / 100);
            EXPECT_NEAR(output->reserveFrames(), reserve, reserve / 10);
        }
        // Shortfalls as the device thread reports them, and commands: a
        // larger reserve is asked for, the commands are mixed in, and the
        // others close with their requests pending.
        AudioOutput::Clock::time_point now{};
        output->adapt(now, false);
        for (int n = 0; n < 3; ++n) mixer.countUnderrun();
        output->adapt(now += 3s, false);
        ASSERT_TRUE(mixer.send({.type = MixerCommand::Type::Gain, .seq = 1}));
        output->commandsSent();
    }
    std::this_thread::sleep_for(300ms);  // for answers that come late
    EXPECT_TRUE(backend.usable());
    EXPECT_NE(backend.open("Cue", mixer, kRate, kPeriodFrames), nullptr);
}

// Starts a staircase of `seconds` on voice 0 of `mixer`; `worker`, which reads
// it ahead, keeps it as long as the mixer does.
bool playRamp(const std::string& path, int seconds, StreamWorker& worker, Mixer& mixer) {
    EXPECT_TRUE(testing::writeAudio(path, testing::FileKind::Wav16, kRate, 2, kRate * seconds,
                                    testing::staircase));
    const std::shared_ptr<Sound> ramp = Sound::load(path, kRate);
    worker.add(ramp);
    ramp->audioRefs.fetch_add(1);  // travels with the command
    return mixer.send({.type = MixerCommand::Type::Play, .seq = 1, .sound = ramp.get()});
}

// Walks a recording of the staircase (left: frame % 16384 / 32768) from its
// first sound on: each frame must be the next step, or silence where the sink
// ran short; any other value is a step lost or played twice.
struct StaircaseCheck {
    int64_t faults = 0;
    int64_t silentFrames = 0;

    explicit StaircaseCheck(const std::vector<float>& stereo) {
        const auto frames = static_cast<int64_t>(stereo.size() / 2);
        int64_t f = 0;
        while (f < frames && stereo[static_cast<size_t>(f) * 2] == 0.0f) ++f;
        long expected = -1;
        for (; f < frames; ++f) {
            const long step = std::lround(stereo[static_cast<size_t>(f) * 2] * 32768.0f);
            if (expected < 0 || step == expected) {
                expected = (step + 1) % 16384;
            } else if (step == 0) {
                ++silentFrames;
            } else {
                ++faults;
                expected = (step + 1) % 16384;
            }
        }
    }
};

// Every command is mixed in over what was queued, from a step past the
// server's read position: a voice that it does not touch must come out
// whole, no step lost or played twice, and a client thread held for 100 ms,
// far longer than the device's buffer, must leave no gap.
TEST_F(PulseOutputTest, CommandsMixedInOverTheReserveLeaveOtherVoicesWholeAndAHeldThreadNoGap) {
    StreamWorker worker;
    PulseBackend backend;
    Mixer mixer(kRate);
    std::unique_ptr<AudioOutput> output = backend.open("Cue", mixer, kRate, kPeriodFrames);
    ASSERT_NE(output, nullptr);
    std::this_thread::sleep_for(2500ms);  // a fresh null sink's first seconds
    ASSERT_TRUE(testing::writeAudio(dir_.file("silence.wav"), testing::FileKind::Wav16, kRate, 2,
                                    kRate, [](int64_t, int) { return 0.0f; }));
    const std::shared_ptr<Sound> silence = Sound::load(dir_.file("silence.wav"), kRate);
    worker.add(silence);  // freed once the mixer lets it go
    testing::SinkRecorder cue("Cue", kRate);
    ASSERT_TRUE(cue.ok());
    const uint64_t natural = mixer.underruns();
    ASSERT_TRUE(playRamp(dir_.file("ramp.wav"), 10, worker, mixer));
    output->commandsSent();
    std::this_thread::sleep_for(200ms);
    for (uint32_t seq = 1; seq <= 60; ++seq) {
        MixerCommand command{.voice = 1, .seq = seq, .sound = silence.get()};
        command.type = seq % 2 == 1 ? MixerCommand::Type::Play : MixerCommand::Type::Stop;
        if (command.type == MixerCommand::Type::Play) silence->audioRefs.fetch_add(1);
        ASSERT_TRUE(mixer.send(command));
        output->commandsSent();
        std::this_thread::sleep_for(20ms);
        if (seq % 20 == 10) backend.holdClientThread(100ms);
    }
    std::this_thread::sleep_for(300ms);
    cue.stop();
    const uint64_t real = mixer.underruns() - natural;
    const StaircaseCheck heard(cue.samples());
    EXPECT_GT(cue.frames(), kRate * 3 / 2);
    EXPECT_EQ(heard.faults, 0) << "steps lost or repeated; " << real << " underflows";
    EXPECT_EQ(heard.silentFrames, 0) << "a gap; " << real << " underflows";
}

// A bed is stopped and a jingle fired at once, over 150 ms queued, ten
// times: the jingle is heard within a few milliseconds from its first frame,
// and the bed's forecast, written over, never sounds.
TEST_F(PulseOutputTest, APressOverTheReserveIsHeardAtOnceFromItsFirstFrameAndTheForecastNever) {
    // Each of the jingle's first frames its own value, all louder than the
    // bed and under the limiter's ceiling.
    const auto jingleAt = [](int64_t f, int) {
        return static_cast<float>(9830 + f % 8192) / 32768.0f;
    };
    ASSERT_TRUE(testing::writeAudio(dir_.file("bed.wav"), testing::FileKind::Wav16, kRate, 2,
                                    kRate * 10, [](int64_t, int) { return 0.25f; }));
    ASSERT_TRUE(testing::writeAudio(dir_.file("jingle.wav"), testing::FileKind::Wav16, kRate, 2,
                                    kRate / 2, jingleAt));
    auto backend = std::make_unique<PulseBackend>();
    PulseBackend& server = *backend;
    AudioEngine engine(std::move(backend));
    const auto bed = engine.load(dir_.file("bed.wav"));
    const auto jingle = engine.load(dir_.file("jingle.wav"));
    ASSERT_TRUE(engine.prepare("Cue"));
    std::this_thread::sleep_for(2500ms);  // a fresh null sink's first seconds
    testing::SinkRecorder cue("Cue", kRate);
    ASSERT_TRUE(cue.ok());
    const int under = engine.createVoice();
    const int over = engine.createVoice();
    std::vector<int64_t> pressed;
    int64_t airedBefore = 0;
    int64_t airedAfter = 0;
    for (int press = 0; press < 10; ++press) {
        ASSERT_TRUE(engine.play(under, bed, "Cue", 1.0f));
        std::this_thread::sleep_for(300ms);
        EXPECT_GE(engine.reserveMs("Cue"), 100);
        if (press == 0) airedBefore = engine.aired(under).frames;
        pressed.push_back(cue.frames());  // the recording lags the sink a little
        // The second press reaches a client thread held past its reckoning:
        // its write may come late, and the margin grows for the next ones.
        std::thread hold;
        if (press == 1) hold = std::thread([&] { server.holdClientThread(35ms); });
        std::this_thread::sleep_for(5ms);
        engine.stop(under);
        ASSERT_TRUE(engine.play(over, jingle, "Cue", 1.0f));
        if (hold.joinable()) hold.join();
        std::this_thread::sleep_for(600ms);
        if (press == 0) airedAfter = engine.aired(under).frames;
    }
    cue.stop();
    const std::vector<float> heard = cue.samples();
    const auto at = [&](int64_t frame) { return heard[static_cast<size_t>(frame) * 2]; };
    // A write the server read past loses a few frames of a head (the held
    // press's, or the first's on a slow machine), and the margin grows so
    // that the next does not: the presses after the held one are whole.
    int headsCut = 0;
    for (size_t press = 0; press < pressed.size(); ++press) {
        int64_t onset = pressed[press];
        while (onset < cue.frames() && at(onset) < 0.3f) ++onset;
        ASSERT_LT(onset, cue.frames());
        // Past the bed's own fade, the jingle alone, every frame in turn.
        const int64_t first =
            std::lround(at(onset + Mixer::kFadeFrames) * 32768.0f) - 9830 - Mixer::kFadeFrames;
        std::printf("a press over %.0f ms queued heard within %.1f ms, from frame %ld\n",
                    engine.reserveMs("Cue"),
                    static_cast<double>(onset - pressed[press]) * 1000 / kRate,
                    static_cast<long>(first));
        if (press != 1) {
            EXPECT_LT(onset - pressed[press], kRate * 60 / 1000);
        }
        headsCut += press > 1 && first != 0;
        for (int64_t f = Mixer::kFadeFrames; f < kRate * 4 / 10; ++f) {
            ASSERT_EQ(at(onset + f), jingleAt(first + f, 0))
                << "press " << press << ", frame " << f;
        }
    }
    EXPECT_EQ(headsCut, 0);
    // The as-run log counts what the sink played of the bed, not what was
    // mixed ahead, before the stop and after it.
    const auto bedUntil = [&](int64_t frame) {
        return std::count(heard.begin(), heard.begin() + frame * 2, 0.25f) / 2;
    };
    int64_t onset = pressed[0];
    while (at(onset) < 0.3f) ++onset;
    EXPECT_LT(airedBefore - bedUntil(pressed[0]), kRate * 60 / 1000);
    EXPECT_NEAR(airedAfter, bedUntil(onset), kRate / 100);
}

// The client's thread held longer than the reserve lasts less a third: the
// reserve grows at once, and long calm stretches bring it back down. The hold
// is short enough that the top-up after it, reckoning from the last reading,
// leaves more than a third: the hold itself must be counted.
TEST_F(PulseOutputTest, AReserveThatRanLowGrowsAtOnceAndComesBackDownAfterCleanMinutes) {
    auto backend = std::make_unique<PulseBackend>();
    PulseBackend& server = *backend;
    AudioEngine engine(std::move(backend));
    auto sound = engine.load(dir_.file("tone.wav"));
    const int voice = engine.createVoice();
    ASSERT_TRUE(engine.play(voice, sound, "Cue", 1.0f));
    // The reserve is looked at with a clock of the test's: real time would
    // not reach a clean minute.
    AudioOutput::Clock::time_point now{};
    auto turn = [&](std::chrono::milliseconds time) {
        const auto until = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < until) {
            engine.pump(now);
            std::this_thread::sleep_for(5ms);
        }
    };
    turn(2500ms);  // settled into real time
    now += 3s;     // and out of the reserve's own settling time
    const double floor = PulseBackend::kReserve.count();
    EXPECT_NEAR(engine.reserveMs("Cue"), floor, 10);
    EXPECT_EQ(engine.reserveMs("Studio"), 0);  // not open

    server.holdClientThread(std::chrono::milliseconds(static_cast<int>(floor * 0.7)));
    turn(300ms);
    const double grown = engine.reserveMs("Cue");
    EXPECT_GT(grown, floor + 40);
    EXPECT_LE(grown, PulseBackend::kMostReserve.count() + 1.0);

    // Long calm stretches (longer than any a failed step back asks for) bring
    // it down to the floor; a busy machine may run it low on the way: the
    // lowest point counts.
    double lowest = grown;
    for (int step = 0; step < 40 && lowest > floor + 5; ++step) {
        now += 32 * PulseBackend::kCleanStretch;
        turn(30ms);
        lowest = std::min(lowest, engine.reserveMs("Cue"));
    }
    EXPECT_NEAR(lowest, floor, 10);
    EXPECT_TRUE(engine.sounding(voice));
}

TEST_F(PipeWireOutputTest, TheGraphRunsAtTheQuantumAskedDoublesItWhenShortAndComesBackDown) {
    PipeWireBackend backend;
    const int rate = backend.preferredRate();
    EXPECT_EQ(rate, 48000);  // the private daemon's graph, as a desktop's
    Mixer mixer(rate);
    std::unique_ptr<AudioOutput> output = backend.open("Cue", mixer, rate, kPeriodFrames);
    ASSERT_NE(output, nullptr);
    const auto cycleBecomes = [&](int frames) {
        return testing::waitUntil([&] { return output->queuedFrames() == frames; }, 5s, 5ms);
    };
    // The period asked, rounded up to a power of two as the graph would.
    EXPECT_EQ(PipeWireBackend::quantumFor(64), 64);
    EXPECT_EQ(PipeWireBackend::quantumFor(8), 32);
    EXPECT_EQ(PipeWireBackend::quantumFor(100'000), 2048);
    const int base = PipeWireBackend::quantumFor(kPeriodFrames);
    ASSERT_EQ(base, 128);
    const int most = base << PipeWireBackend::kMostDoublings;
    EXPECT_TRUE(cycleBecomes(base));

    // Shortfalls as the data thread counts them: a doubling each, at once,
    // up to the ceiling. A busy machine may add some of its own, so the
    // first step is seen as "larger", and the ceiling as the ceiling.
    AudioOutput::Clock::time_point now{};
    output->adapt(now, false);
    mixer.countUnderrun();
    output->adapt(now += 3s, false);
    EXPECT_TRUE(testing::waitUntil([&] { return output->queuedFrames() >= 2 * base; }, 5s, 5ms));
    for (int n = 0; n < PipeWireBackend::kMostDoublings; ++n) mixer.countUnderrun();
    output->adapt(now += 1s, false);
    EXPECT_TRUE(cycleBecomes(most));
    // Long clean stretches bring it back down, a halving each.
    for (int step = 0; step < 4 * PipeWireBackend::kMostDoublings && output->queuedFrames() != base;
         ++step) {
        output->adapt(now += 32 * PipeWireBackend::kCleanStretch, false);
        static_cast<void>(testing::waitUntil(
            [&] { return output->queuedFrames() <= most >> (step + 1); }, 2s, 5ms));
    }
    EXPECT_EQ(output->queuedFrames(), base);
    EXPECT_FALSE(output->lost());
}

TEST_F(PipeWireOutputTest, TheSystemOutputIsPipeWiresUnlessAnotherIsForcedAndAForcedOneIsKept) {
    // The output chosen with TAMBREL_AUDIO at `forced` ("": as if unset), and its name.
    std::string name;
    const auto choose = [&name](const char* forced) {
        setenv("TAMBREL_AUDIO", forced, 1);
        std::unique_ptr<OutputBackend> backend = systemOutput(&name);
        unsetenv("TAMBREL_AUDIO");
        return backend;
    };
    const auto chosen = [&](const char* forced) { return choose(forced) ? name : "none"; };
    EXPECT_EQ(chosen(""), "PipeWire");
    EXPECT_EQ(chosen("pulse"), "PulseAudio");  // through PipeWire's server for PulseAudio clients
    EXPECT_EQ(chosen("sdl"), "SDL");
    EXPECT_EQ(chosen("jack"), "PipeWire");  // unknown: chosen as if not forced
    server_->stop();
    const std::unique_ptr<OutputBackend> forced = choose("pipewire");
    EXPECT_NE(dynamic_cast<PipeWireBackend*>(forced.get()), nullptr);
    EXPECT_NE(forced->problem(), "");  // says why nothing plays
    EXPECT_TRUE(forced->deviceNames().empty());
}

TEST(PipeWireCycles, TheGraphsClockMovingMoreThanACycleCountsTheCyclesMissed) {
    struct Case {
        uint64_t last, now, frames;
        int rate;
        uint64_t missed;
    };
    const Case cases[] = {
        {0, 480, 128, 48000, 0},      // the first call
        {1000, 1128, 128, 48000, 0},  // one cycle
        {1000, 1256, 128, 48000, 1},  // two
        {1000, 1640, 128, 48000, 4},  // five
        {1000, 1191, 128, 48000, 0},  // within half a cycle of slack
        {1000, 1480, 441, 44100, 0},  // the stream at 44.1 kHz in a 48 kHz graph
        {1000, 1960, 441, 44100, 1},
        {1000, 900, 128, 48000, 0},  // a clock gone back: a new graph, not a hole
    };
    for (const Case& c : cases) {
        EXPECT_EQ(missedCycles(c.last, c.now, c.frames, c.rate, 1, 48000), c.missed)
            << c.last << " to " << c.now << " in cycles of " << c.frames << " at " << c.rate;
    }
}

// SDL's output on its dummy driver, which pulls in real time without a
// sound card: a longer period taken only while the device is silent.
TEST(SdlOutput, ALongerPeriodAfterShortfallsIsTakenOnlyWhileSilentAndSoundGoesOn) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SdlBackend backend;
    ASSERT_EQ(backend.problem(), "");
    testing::TempDir dir;
    StreamWorker worker;
    Mixer mixer(kRate);
    std::unique_ptr<AudioOutput> output = backend.open(std::nullopt, mixer, kRate, 96);
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(output->ready(5000ms));  // opened on the backend's thread
    EXPECT_EQ(output->queuedFrames(), 2 * 256);

    ASSERT_TRUE(playRamp(dir.file("ramp.wav"), 20, worker, mixer));
    ASSERT_TRUE(testing::waitUntil([&] { return mixer.position(0) > 0; }, 5s));

    // Short twice while a slot sounds: reopening would cut it, so it waits.
    AudioOutput::Clock::time_point now{};
    output->adapt(now, false);
    for (int n = 0; n < 2; ++n) mixer.countUnderrun();
    output->adapt(now += 1s, false);
    EXPECT_EQ(output->queuedFrames(), 2 * 256);
    output->adapt(now += 5ms, true);
    EXPECT_TRUE(output->ready(5000ms));
    // Two steps of 256 frames, or more if this busy machine made the dummy
    // device's thread late meanwhile too; two periods queued.
    const int grown = output->queuedFrames();
    EXPECT_GE(grown, 2 * 768);
    EXPECT_LE(grown, 2 * 1024);
    EXPECT_FALSE(output->lost());
    // The same mixer is pulled on the device opened again.
    const int64_t before = mixer.position(0);
    EXPECT_TRUE(testing::waitUntil([&] { return mixer.position(0) > before + kRate / 10; }, 5s));

    // A clean minute gives a step back, also only while silent.
    const uint64_t shortfalls = mixer.underruns();
    output->adapt(now += 61s, false);
    EXPECT_EQ(output->queuedFrames(), grown);
    output->adapt(now += 5ms, true);
    EXPECT_TRUE(output->ready(5000ms));
    if (mixer.underruns() == shortfalls) {
        EXPECT_EQ(output->queuedFrames(), grown - 2 * 256);
    }
}

}  // namespace
}  // namespace tambrel::audio
