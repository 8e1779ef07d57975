// Hostile files chosen for slots of the real window: whatever the operator
// picks, the window neither crashes nor waits, a file that cannot be played
// shows no length and stays silent, and a strange but sound file plays.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "tests/app/window_rig.h"
#include "tests/support/wait.h"

namespace tambrel::app {
namespace {

using namespace std::chrono_literals;
using playback::kPlaying;
using Clock = std::chrono::steady_clock;
using HostileFiles = WindowTest;

// The 44-byte header of 16-bit PCM at 44.1 kHz, claiming `dataBytes` of data.
QByteArray wavHeader(uint32_t channels, uint32_t dataBytes) {
    const auto le = [](uint32_t value, int bytes) {
        QByteArray out;
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
        return out;
    };
    return "RIFF" + le(dataBytes == UINT32_MAX ? dataBytes : 36 + dataBytes, 4) + "WAVEfmt " +
           le(16, 4) + le(1, 2) + le(channels, 2) + le(44100, 4) + le(44100 * 2 * channels, 4) +
           le(2 * channels, 2) + le(16, 2) + "data" + le(dataBytes, 4);
}

float peak(const std::vector<float>& samples) {
    float top = 0.0f;
    for (float s : samples) top = std::max(top, std::abs(s));
    return top;
}
// Seconds the window's thread spent binding the file.
double assignTimed(WindowRig& rig, int16_t slot, const std::string& path) {
    const auto start = Clock::now();
    rig.assign(slot, QString::fromStdString(path));
    return std::chrono::duration<double>(Clock::now() - start).count();
}
size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Should the window's thread ever wait on the pipe for a writer, one comes
// after 3 s: the wait ends and the test fails instead of stalling the run.
std::jthread pipeWatch(const std::string& path, std::atomic<bool>& waited) {
    return std::jthread([path, &waited](std::stop_token stop) {
        std::mutex mutex;
        std::unique_lock lock(mutex);
        std::condition_variable_any().wait_for(lock, stop, 3s, [] { return false; });
        if (stop.stop_requested()) return;
        waited = true;
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    });
}

// The window goes while a slot may still sound: the sound stops and every
// decoded file is let go.
void closeWindow(WindowRig& rig) {
    rig.window.reset();
    rig.render(1024);  // a stop fades out
    EXPECT_EQ(peak(rig.render(4096)), 0.0f);
    EXPECT_TRUE(testing::waitUntil([&] { return rig.audio.engine().liveSounds() == 0; }, 2s));
}

TEST_F(HostileFiles,
       SoundFilesPlayForWhatTheyHoldAndWhatCannotBePlayedShowsNoLengthAndNeverSounds) {
    // Misnamed, tagged and lying files, and a name full of quotes and blanks.
    const std::string odd = " \xC3\x89t\xC3\xA9 \"live\" l'AC\\DC .wav ";
    const std::pair<std::string, testing::FileKind> sound[] = {
        {"wav.mp3", testing::FileKind::Wav16},
        {"mp3.wav", testing::FileKind::Mp3},
        {odd, testing::FileKind::Wav16}};
    for (const auto& [name, kind] : sound) {
        ASSERT_TRUE(
            testing::writeAudio(dir.file(name), kind, 44100, 2, 44100 * 5 / 2, testing::programme));
    }
    // A 5 MB ID3v2 tag of padding before the frames; its size in syncsafe bytes.
    const uint32_t tagBytes = 5u << 20;
    std::string tag = {'I', 'D', '3', 3, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7)
        tag.push_back(static_cast<char>((tagBytes >> shift) & 0x7f));
    std::ofstream(dir.file("tagged.mp3"), std::ios::binary)
        << tag << std::string(tagBytes, '\0')
        << std::ifstream(dir.file("mp3.wav"), std::ios::binary).rdbuf();
    // Claims the most a WAV can hold, almost seven hours; 3 s are there.
    put("lying.wav", wavHeader(2, UINT32_MAX) + QByteArray(44100 * 3 * 4, '\x30'));
    // Empty, noise, cut short (a header for 3 s, then ten frames and three
    // stray bytes), a folder, and a pipe no one writes to.
    std::mt19937 random(2024);
    QByteArray noise(60000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    for (const char* name : {"empty.wav", "empty.mp3"}) put(name, "");
    for (const char* name : {"noise.mp3", "noise.wav"}) put(name, noise);
    put("cut.wav", wavHeader(2, 44100 * 4 * 3) + QByteArray(43, '\x40'));
    std::filesystem::create_directory(dir.file("Folder.wav"));
    ASSERT_EQ(mkfifo(dir.file("pipe.wav").c_str(), 0600), 0);

    // Each file and the length its slot shows; none for what cannot be played.
    const std::pair<std::string, const char*> files[] = {
        {"wav.mp3", "00:02"},   {"mp3.wav", "00:02"}, {"tagged.mp3", "00:02"}, {odd, "00:02"},
        {"lying.wav", "00:03"}, {"empty.wav", ""},    {"empty.mp3", ""},       {"noise.mp3", ""},
        {"noise.wav", ""},      {"cut.wav", ""},      {"Folder.wav", ""},      {"pipe.wav", ""}};
    for (int16_t slot = 0; slot < static_cast<int16_t>(std::size(files)); ++slot) {
        const auto& [name, length] = files[slot];
        const bool playable = *length != '\0';
        const QString label = QString::fromLatin1(playable ? length : "illisible");
        std::atomic<bool> waited = false;
        const std::jthread watch = pipeWatch(dir.file(name), waited);
        EXPECT_LT(assignTimed(*this, slot, dir.file(name)), 1.0) << name;
        EXPECT_FALSE(waited) << name;
        EXPECT_EQ(w.InfoTrack[slot]->Caption(), label) << name;
        w.Touche_Click(slot);
        if (playable) {
            ASSERT_EQ(w.Player[slot]->State(), kPlaying) << name;
            EXPECT_GT(peak(render(8192)), 0.05f) << name;
            w.Touche_Click(slot);
            EXPECT_NE(w.Player[slot]->State(), kPlaying) << name;
            render(1024);
            EXPECT_EQ(peak(render(4096)), 0.0f) << name;
        } else {
            const QString stem = QString::fromStdString(name.substr(0, name.find('.')));
            EXPECT_EQ(w.Touche[slot]->Caption(), stem + "\r\n\r\n" + slotLetter(slot));
            EXPECT_EQ(w.Player[slot]->Length(), 0) << name;
            EXPECT_NE(w.Player[slot]->State(), kPlaying) << name;
            EXPECT_NE(w.Touche[slot]->BackColor(), platform::QBColor(platform::kQBRed)) << name;
            const std::vector<float> out = render(4096);  // the output is open: heard silence
            ASSERT_EQ(out.size(), 8192u);
            EXPECT_EQ(peak(out), 0.0f) << name;
        }
        audio.pump();
        EXPECT_EQ(w.InfoTrack[slot]->Caption(), label) << name;
    }
    EXPECT_EQ(dialogs.asked.size(), std::size(files));  // a press never asked again

    // The path travels as Linux wrote it, its "\" part of the name, which
    // ends in no extension.
    EXPECT_EQ(w.Player[3]->FileName(), path(odd));
    EXPECT_EQ(w.Touche[3]->Caption(),
              QString::fromUtf8(" \xC3\x89t\xC3\xA9 \"live\" l'AC\\DC .wav \r\n\r\nD"));

    // The lying header ends where its data does, not hours of silence later.
    w.Touche_Click(4);
    for (int tenth = 0; tenth < 30; ++tenth) {
        EXPECT_GT(peak(render(4410)), 0.0f) << tenth;  // no gap where streaming takes over
    }
    EXPECT_EQ(peak(render(4410)), 0.0f);
    EXPECT_NE(w.Player[4]->State(), kPlaying);

    w.Touche_Click(1);  // still sounding when the window goes
    closeWindow(*this);
}

TEST_F(HostileFiles, TenHourSparseFileLoadsAtOnceAndPlaysInBoundedMemory) {
    // Ten hours of 16-bit silence, mono so that its size fits a plain WAV
    // header; the sparse file costs no disk.
    const uint32_t dataBytes = 44100u * 2 * 36000;
    const std::string path = dir.file("ten hours.wav");
    put("ten hours.wav", wavHeader(1, dataBytes));
    ASSERT_EQ(::truncate(path.c_str(), 44 + static_cast<off_t>(dataBytes)), 0);

    const size_t before = residentBytes();
    EXPECT_LT(assignTimed(*this, 0, path), 0.5);
    EXPECT_EQ(w.Player[0]->Length(), 36'000'000);
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:00"));  // minutes keep two digits

    w.Touche_Click(0);
    ASSERT_EQ(w.Player[0]->State(), kPlaying);
    EXPECT_EQ(peak(render(44100 * 4)), 0.0f);  // well past the head
    EXPECT_EQ(w.Player[0]->Position(), 4000);
    w.Timer1_OnTimer();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("99:56"));
    const size_t after = residentBytes();
    // Head and ring: a few MB, which a sanitizer's shadow and the loader's
    // threads inflate; ten hours decoded would be 12 GB.
    EXPECT_LT(after - std::min(before, after), size_t{64} << 20);

    w.Touche_Click(0);
    EXPECT_NE(w.Player[0]->State(), kPlaying);
    render(1024);
    audio.pump();
    EXPECT_EQ(w.InfoTrack[0]->Caption(), QStringLiteral("00:00"));
    closeWindow(*this);
}

}  // namespace
}  // namespace tambrel::app
