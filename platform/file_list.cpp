#include "platform/file_list.h"

#include <QDir>

#include "platform/path_form.h"

namespace tambrel::platform {

void FileListBox::setPath(const QString& systemPath) {
    if (systemPath == path_) return;
    path_ = systemPath;
    Refresh();
    if (PathChange) PathChange();
}

void FileListBox::setPattern(const QString& pattern) {
    pattern_ = pattern;
    Refresh();
}

void FileListBox::Refresh() {
    QDir folder(toNativePath(path_));
    // Plain files only, as a file list shows them: no folders, no hidden files.
    names_ =
        folder.entryList({pattern_}, QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase);
}

}  // namespace tambrel::platform
