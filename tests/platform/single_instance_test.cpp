#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <memory>

#include "tests/support/event_wait.h"
#include "tests/support/test_audio.h"

namespace tambrel::platform {
namespace {

// Generous: the machine running the tests may be busy.
constexpr int kWaitMs = 10000;

// A program folder of the test's own: tests running at the same time, here
// or in other test processes, must not share an instance.
struct Folder {
    testing::TempDir dir;
    QString path = QString::fromStdString(dir.path());
};

template <typename Done>
bool pumpUntil(Done done) {
    return testing::turnEventsUntil(done, std::chrono::milliseconds(kWaitMs));
}

TEST(SingleInstance, EveryRequestOfALaterCopyReachesTheFirstAndItsEndFreesTheKey) {
    const Folder folder;
    const QString& key = folder.path;
    auto first = std::make_unique<SingleInstance>(key);
    int activations = 0;
    first->onActivate = [&] { ++activations; };
    ASSERT_FALSE(first->anotherRunning());
    EXPECT_FALSE(first->anotherRunning()) << "asking again must not lose the instance";
    EXPECT_FALSE(SingleInstance(Folder().path).anotherRunning()) << "folders are independent";
    {
        SingleInstance second(key);
        bool secondActivated = false;
        second.onActivate = [&] { secondActivated = true; };
        ASSERT_TRUE(second.anotherRunning());
        for (int expected = 1; expected <= 2; ++expected) {
            ASSERT_TRUE(second.activateRunning(kWaitMs));
            EXPECT_TRUE(pumpUntil([&] { return activations == expected; })) << activations;
        }
        EXPECT_FALSE(secondActivated);
    }

    first.reset();
    SingleInstance later(key);
    EXPECT_FALSE(later.activateRunning(200)) << "nobody listens any more";
    ASSERT_FALSE(later.anotherRunning());
    bool activated = false;
    later.onActivate = [&] { activated = true; };
    EXPECT_TRUE(SingleInstance(key).activateRunning(kWaitMs));
    EXPECT_TRUE(pumpUntil([&] { return activated; }));
}

// A copy of the program in a process of its own (see single_instance_probe.cpp).
class Probe {
  public:
    // `env`: "NAME=value" settings of its own.
    Probe(const QString& folder, const char* mode, const QStringList& env = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& setting : env) {
            environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        }
        process_.setProcessEnvironment(environment);
        process_.start(QStringLiteral(SINGLE_INSTANCE_PROBE), {folder, QString::fromLatin1(mode)});
    }
    ~Probe() { crash(); }

    // Reads the probe's output until `line` comes; false when it does not.
    ::testing::AssertionResult waitFor(const QString& line) {
        const QDeadlineTimer deadline(kWaitMs);
        for (;;) {
            while (process_.canReadLine()) {
                seen_ << QString::fromUtf8(process_.readLine()).trimmed();
                if (seen_.last() == line) return ::testing::AssertionSuccess();
            }
            if (deadline.hasExpired() ||
                !process_.waitForReadyRead(int(deadline.remainingTime()))) {
                if (process_.canReadLine()) continue;
                return ::testing::AssertionFailure()
                       << "no \"" << line.toStdString()
                       << "\" after: " << seen_.join(u'|').toStdString() << " "
                       << process_.readAllStandardError().toStdString();
            }
        }
    }
    // Every line the probe printed, once it has ended.
    QStringList finish() {
        if (!process_.waitForFinished(kWaitMs)) return {QStringLiteral("(still running)")};
        while (process_.canReadLine()) seen_ << QString::fromUtf8(process_.readLine()).trimmed();
        return seen_;
    }
    void closeInput() { process_.closeWriteChannel(); }
    void crash() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();  // SIGKILL: no clean-up of lock or socket
        process_.waitForFinished(kWaitMs);
    }
    const QProcess& process() const { return process_; }
    QString errors() { return QString::fromUtf8(process_.readAllStandardError()); }

  private:
    QProcess process_;
    QStringList seen_;
};

const QStringList kSecondAndSent{QStringLiteral("second"), QStringLiteral("sent")};

TEST(SingleInstanceProcesses, OneCopyPerFolderWhateverItsTempFolderAndACrashedFirstIsTakenOver) {
    const Folder folder;
    const QString& key = folder.path;
    // Each copy with a temporary folder of its own.
    const Folder tmpA;
    const Folder tmpB;
    const QStringList a{QStringLiteral("TMPDIR=") + tmpA.path};
    const QStringList b{QStringLiteral("TMPDIR=") + tmpB.path};
    {
        Probe holder(key, "hold", a);
        ASSERT_TRUE(holder.waitFor(QStringLiteral("first")));
        EXPECT_TRUE(QFile::exists(key + u'/' + QString::fromLatin1(SingleInstance::kLockName)));
        EXPECT_EQ(Probe(key, "check", b).finish(), kSecondAndSent);
        EXPECT_TRUE(holder.waitFor(QStringLiteral("activated")));
        EXPECT_TRUE(SingleInstance(key).anotherRunning());
        holder.crash();
    }

    // The crashed copy left its lock behind.
    Probe next(key, "hold", b);
    ASSERT_TRUE(next.waitFor(QStringLiteral("first")));
    EXPECT_EQ(Probe(key, "check", a).finish(), kSecondAndSent);
    EXPECT_TRUE(next.waitFor(QStringLiteral("activated")));

    next.closeInput();
    EXPECT_EQ(next.finish().last(), QStringLiteral("activated"));
    EXPECT_EQ(next.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(next.process().exitCode(), 0);
    EXPECT_EQ(Probe(key, "check").finish(), QStringList{QStringLiteral("first")});
}

TEST(SingleInstanceProcesses, AFolderThatTakesNoLockKeepsOneCopyPerUserAndSaysSo) {
    const Folder home;
    const QString folder = home.path + QStringLiteral("/absent");  // nothing can be made there
    const QStringList env{QStringLiteral("XDG_CACHE_HOME=") + home.path + QStringLiteral("/cache")};
    Probe holder(folder, "hold", env);
    ASSERT_TRUE(holder.waitFor(QStringLiteral("first")));
    EXPECT_EQ(Probe(folder, "check", env).finish(), kSecondAndSent);
    EXPECT_TRUE(holder.waitFor(QStringLiteral("activated")));
    EXPECT_EQ(QDir(home.path + QStringLiteral("/cache/tambrel")).entryList({"*.lock"}).size(), 1);
    holder.closeInput();
    holder.finish();
    EXPECT_TRUE(holder.errors().contains(
        QStringLiteral("Tambrel: le verrou d'une seule copie ne peut pas être pris dans ") +
        folder))
        << holder.errors().toStdString();
}

}  // namespace
}  // namespace tambrel::platform
