#pragma once

// Stand-ins for the operator and the system in window tests: dialogs
// answered from a script that record what was asked, and a system whose
// screen, clock and process the test decides.

#include <QCoreApplication>
#include <QString>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "platform/system.h"

namespace tambrel::testing {

struct Asked {
    QString kind;  // "MsgBox", "InputBox", "ShowOpen", "ShowColor"
    QString text;  // prompt or filter
    int32_t style = 0;
    QString title;
};

class ScriptedDialogs final : public platform::Dialogs {
  public:
    std::vector<Asked> asked;
    std::deque<int32_t> msgBoxAnswers;  // kAnswerOk when none is left
    std::deque<QString> inputAnswers;   // "" when none is left
    std::deque<QString> openAnswers;    // a native path; "" or none left: cancelled
    std::deque<std::optional<int32_t>> colorAnswers;

    // The last question as "kind | style | title | text"; a failure when none was asked.
    std::string last() const {
        const Asked& a = asked.at(asked.size() - 1);
        return (a.kind + " | " + QString::number(a.style) + " | " + a.title + " | " + a.text)
            .toStdString();
    }

    int32_t MsgBox(const QString& prompt, int32_t style, const QString& title) override {
        asked.push_back({QStringLiteral("MsgBox"), prompt, style, title});
        return take(msgBoxAnswers, platform::kAnswerOk);
    }
    QString InputBox(const QString& prompt, const QString& title, const QString&) override {
        asked.push_back({QStringLiteral("InputBox"), prompt, 0, title});
        return take(inputAnswers, QString());
    }
    std::optional<QString> ShowOpen(const QString& filter) override {
        asked.push_back({QStringLiteral("ShowOpen"), filter, 0, QString()});
        const QString path = take(openAnswers, QString());
        if (path.isEmpty()) return std::nullopt;
        return path;
    }
    std::optional<int32_t> ShowColor(int32_t) override {
        asked.push_back({QStringLiteral("ShowColor"), QString(), 0, QString()});
        return take(colorAnswers, std::optional<int32_t>());
    }

  private:
    template <typename T>
    static T take(std::deque<T>& answers, T otherwise) {
        if (answers.empty()) return otherwise;
        T answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// What terminate() throws, so that a test sees the process end.
struct Terminated : std::runtime_error {
    Terminated() : std::runtime_error("terminated") {}
};

class FakeSystem final : public platform::System {
  public:
    int32_t screenPixels = 1280;
    QString folder;  // the executable's folder
    QString title = QStringLiteral("Tambrel");
    bool otherCopyRunning = false;
    int activations = 0;
    double clock = 1000.0;
    double clockStep = 0.05;  // every reading of the clock moves it on

    int32_t screenWidthTwips() override { return screenPixels * 15; }
    double clockSeconds() override { return clock += clockStep; }
    // Each palette read or listed before the window goes on, as tests check at once.
    std::chrono::milliseconds fileWait() override { return std::chrono::seconds(5); }
    QTime time{9, 0};
    QTime timeOfDay() override { return time; }
    void doEvents() override { QCoreApplication::processEvents(); }
    void terminate() override { throw Terminated(); }
    QString exeFolder() override { return folder; }
    QString appTitle() override { return title; }
    void setAppTitle(const QString& t) override { title = t; }
    bool anotherInstanceRunning(std::function<void()> onActivate) override {
        activate = std::move(onActivate);
        return otherCopyRunning;
    }
    bool activateRunningInstance() override {
        ++activations;
        return true;
    }
    std::function<void()> activate;
};

}  // namespace tambrel::testing
