#include "tests/support/pulse_server.h"

#include <pulse/pulseaudio.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tests/support/daemon.h"

namespace tambrel::testing {

bool serverAnswers() {
    return withServer([](pa_context*) {}, [] { return true; });
}

std::string nullSink(const std::string& name, int rate, const std::string& description) {
    return "sink_name=" + name + " rate=" + std::to_string(rate) +
           " sink_properties=device.description=" + (description.empty() ? name : description);
}

bool setDefaultSink(const std::string& name) {
    struct Job {
        bool done = false;
        bool set = false;
    } job;
    withServer(
        [&](pa_context* context) {
            pa_operation_unref(pa_context_set_default_sink(
                context, name.c_str(),
                [](pa_context*, int success, void* data) {
                    auto* job = static_cast<Job*>(data);
                    job->set = success != 0;
                    job->done = true;
                },
                &job));
        },
        [&] { return job.done; });
    return job.set;
}

bool unloadSink(const std::string& name) {
    // Looks the sink up and unloads the module that made it, then asks for
    // it again until it is gone: the daemon acknowledges an unload before it
    // carries it out, and a sink of the same name cannot be made meanwhile.
    struct Job {
        std::string name;
        bool unloading = false;
        bool unloaded = false;
        bool done = false;

        static void look(pa_context* context, Job* job) {
            pa_operation_unref(
                pa_context_get_sink_info_by_name(context, job->name.c_str(), &Job::found, job));
        }
        static void found(pa_context* context, const pa_sink_info* info, int last, void* data) {
            auto* job = static_cast<Job*>(data);
            if (last == 0 && info != nullptr) {
                if (job->unloading) return;  // still there: asked again at the end of this answer
                job->unloading = true;
                pa_operation_unref(
                    pa_context_unload_module(context, info->owner_module, &Job::unload, job));
            } else if (last != 0 && !job->unloading) {
                job->done = true;  // no such sink
            } else if (last < 0) {
                job->done = true;  // gone
            } else if (job->unloaded) {
                look(context, job);
            }
        }
        static void unload(pa_context* context, int success, void* data) {
            auto* job = static_cast<Job*>(data);
            job->unloaded = success != 0;
            if (job->unloaded) {
                look(context, job);
            } else {
                job->done = true;
            }
        }
    } job{name};
    const bool finished = withServer([&](pa_context* context) { Job::look(context, &job); },
                                     [&] { return job.done; });
    return finished && job.unloaded;
}

bool loadNullSink(const std::string& name, int rate, const std::string& description) {
    struct Job {
        bool done = false;
        bool loaded = false;
    } job;
    const std::string arguments = nullSink(name, rate, description);
    withServer(
        [&](pa_context* context) {
            pa_operation_unref(pa_context_load_module(
                context, "module-null-sink", arguments.c_str(),
                [](pa_context*, uint32_t index, void* data) {
                    auto* job = static_cast<Job*>(data);
                    job->loaded = index != PA_INVALID_INDEX;
                    job->done = true;
                },
                &job));
        },
        [&] { return job.done; });
    return job.loaded;
}

PulseServer::PulseServer(const std::string& folder, const std::string& sink, int rate,
                         const std::vector<std::string>& moreSinks)
    : folder_(folder), sink_(sink), rate_(rate) {
    const std::string socket = folder + "/pulse.sock";
    const std::string clientConf = folder + "/client.conf";
    std::ofstream(clientConf) << "autospawn = no\n";
    // Before anything connects: libpulse reads these when a context is made,
    // Qt, GStreamer, SDL and paplay included.
    setenv("HOME", folder.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", clientConf.c_str(), 1);
    unsetenv("PULSE_SINK");
    unsetenv("PULSE_SOURCE");

    std::vector<std::string> args = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--disallow-exit",
        "--log-target=file:" + folder + "/pulse.log",
        "-L",
        "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
    };
    std::vector<std::string> sinks = {sink};
    sinks.insert(sinks.end(), moreSinks.begin(), moreSinks.end());
    for (const std::string& name : sinks) {
        args.emplace_back("-L");
        args.push_back("module-null-sink " + nullSink(name, rate));
    }
    pid_ = startDaemon(args, "/dev/null");
    if (pid_ < 0) throw std::runtime_error("cannot fork for pulseaudio");
    const auto ready = [&] { return std::filesystem::exists(socket) && serverAnswers(); };
    if (!awaitReady(ready, {&pid_})) {
        const std::string log = tailOf(folder + "/pulse.log");
        stop();
        throw std::runtime_error("pulseaudio did not start: " + log);
    }
}

PulseServer::~PulseServer() {
    stop();
}

void PulseServer::stop() {
    endDaemon(pid_);
}

}  // namespace tambrel::testing
