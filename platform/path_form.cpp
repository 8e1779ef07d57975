#include "platform/path_form.h"

namespace tambrel::platform {
namespace {
QString swapSlashes(QString path) {
    for (QChar& c : path) {
        if (c == u'\\') {
            c = u'/';
        } else if (c == u'/') {
            c = u'\\';
        }
    }
    return path;
}
}  // namespace

QString toNativePath(const QString& systemPath) {
    if (systemPath.startsWith(u'/')) return systemPath;
    return swapSlashes(systemPath);
}
QString toSystemPath(const QString& nativePath) {
    return swapSlashes(nativePath);
}

}  // namespace tambrel::platform
