#include "tests/support/pipewire_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/daemon.h"

namespace tambrel::testing {
PipeWireServer::PipeWireServer(const std::string& folder, const std::string& sink, int rate,
                               const std::vector<std::string>& moreSinks)
    : folder_(folder), sink_(sink), rate_(rate) {
    namespace fs = std::filesystem;
    const std::string config = folder + "/config";
    fs::create_directories(config + "/wireplumber/main.lua.d");
    fs::create_directories(config + "/wireplumber/bluetooth.lua.d");
    // Null sinks only: none of the machine's cards, cameras or headsets.
    std::ofstream(config + "/wireplumber/main.lua.d/51-private.lua")
        << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
           "libcamera_monitor.enabled = false\n";
    std::ofstream(config + "/wireplumber/bluetooth.lua.d/51-private.lua")
        << "bluez_monitor.enabled = false\n";
    const std::string clientConf = folder + "/client.conf";
    std::ofstream(clientConf) << "autospawn = no\n";
    const std::string bus = folder + "/bus";
    const std::string pulseSocket = folder + "/pulse/native";
    // Before anything connects: the libraries read these when they start.
    setenv("HOME", folder.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + pulseSocket).c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", clientConf.c_str(), 1);
    for (const char* name :
         {"PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE", "PULSE_SINK", "PULSE_SOURCE"}) {
        unsetenv(name);
    }

    bus_ = startDaemon(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus},
        folder + "/bus.log");
    if (!awaitReady([&] { return std::filesystem::exists(bus); }, {&bus_}))
        fail("dbus-daemon did not start");
    daemon_ = startDaemon({"pipewire"}, folder + "/pipewire.log");
    if (!awaitReady([&] { return std::filesystem::exists(folder + "/pipewire-0"); }, {&daemon_})) {
        fail("pipewire did not start");
    }
    session_ = startDaemon({"wireplumber"}, folder + "/wireplumber.log");
    pulse_ = startDaemon({"pipewire-pulse"}, folder + "/pipewire-pulse.log");
    if (!awaitReady([&] { return std::filesystem::exists(pulseSocket) && serverAnswers(); },
                    {&daemon_, &session_, &pulse_})) {
        fail("pipewire-pulse did not answer");
    }
    std::vector<std::string> sinks = {sink};
    sinks.insert(sinks.end(), moreSinks.begin(), moreSinks.end());
    for (const std::string& name : sinks) {
        if (!loadNullSink(name, rate)) fail("no null sink " + name);
    }
    // The session manager keeps the default; it may not have seen the sink yet.
    if (!awaitReady([&] { return setDefaultSink(sink); }, {&daemon_, &session_, &pulse_})) {
        fail("the session manager did not take " + sink + " as the default");
    }
}

PipeWireServer::~PipeWireServer() {
    stop();
}

void PipeWireServer::stop() {
    endDaemon(pulse_);
    endDaemon(session_);
    endDaemon(daemon_);
    endDaemon(bus_);
}

void PipeWireServer::fail(const std::string& why) {
    std::string logs;
    for (const char* name : {"pipewire", "wireplumber", "pipewire-pulse"}) {
        logs += std::string("\n--- ") + name + "\n" + tailOf(folder_ + "/" + name + ".log", 800);
    }
    stop();
    throw std::runtime_error(why + logs);
}

}  // namespace tambrel::testing
