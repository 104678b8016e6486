#include "icon_path.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

namespace {

QString findIconDir() {
  QStringList candidates;
  QString env = qEnvironmentVariable("NELT_ICON_DIR");
  if (!env.isEmpty()) candidates << env;
  if (QCoreApplication::instance() != nullptr) {
    QString exe_dir = QCoreApplication::applicationDirPath();
    candidates << exe_dir + "/icon" << exe_dir + "/../share/neltstore/icon";
  }
  candidates << QDir::current().absoluteFilePath("icon");
  for (const QString& dir : candidates) {
    QFileInfo info(dir);
    if (info.isDir()) return QDir::cleanPath(info.absoluteFilePath());
  }
  return QString();
}

}  // namespace

QString iconDir(bool refresh) {
  static QMutex mutex;
  static bool looked = false;
  static QString dir;
  QMutexLocker lock(&mutex);
  if (!looked || refresh) {
    dir = findIconDir();
    looked = true;
  }
  return dir;
}

QString iconPath(const QString& name) {
  QString file = name;
  if (file.startsWith("./")) file.remove(0, 2);
  if (!file.startsWith("icon/")) return name;
  QString dir = iconDir();
  if (dir.isEmpty()) return name;
  return dir + "/" + file.mid(5);
}
