#pragma once

// A file list bound to a folder and a pattern, never shown: the names of the
// matching files of its folder, matched and sorted without regard to case.
// Pointing it at another folder raises PathChange.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace tambrel::platform {

class FileListBox {
  public:
    // The folder in the system's form ("\" separators).
    QString Path() const { return path_; }
    void setPath(const QString& systemPath);
    QString Pattern() const { return pattern_; }
    void setPattern(const QString& pattern);

    int32_t ListCount() const { return static_cast<int32_t>(names_.size()); }
    QString List(int32_t index) const { return names_.value(index); }
    void Refresh();

    std::function<void()> PathChange;

  private:
    QString path_;
    QString pattern_ = QStringLiteral("*.*");
    QStringList names_;
};

}  // namespace tambrel::platform
