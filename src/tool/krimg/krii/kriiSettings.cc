#include "kriiSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>


#include "os/os_log.h"

#define KR_LOG_SRC "src\\tool\\krimg\\krii\\kriiSettings"

QByteArray krii_placement_encode(const krii_placement& p) {
  const std::string raw = krii_placement_bytes(p);
  return QByteArray(raw.data(), qsizetype(raw.size()));
}

bool krii_placement_decode(const QByteArray& raw, krii_placement* out) {
  return krii_placement_parse(std::string_view(raw.constData(), size_t(raw.size())), out);
}

namespace {

constexpr QFile::Permissions kFolderMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions kFileMode = QFile::ReadOwner | QFile::WriteOwner;

// Makes the folder and every missing folder above it for the user alone.
bool make_private_folder(const QString& path) {
  if (QFileInfo::exists(path)) return QFile::setPermissions(path, kFolderMode);
  const QString parent = QFileInfo(path).absolutePath();
  if (parent != path && !QFileInfo::exists(parent) && !make_private_folder(parent)) return false;
  return QDir().mkdir(path, kFolderMode);
}

}  // namespace

bool krii_settings_protect() {
  const QString file = QSettings().fileName();
  const QByteArray name = file.toUtf8();
  if (!make_private_folder(QFileInfo(file).absolutePath())) {
    KR_LOGF(OS_LOG_ERR, "krii_settings_protect", "cannot make the settings folder of %s private\n",
            name.constData());
    return false;
  }
  QFile f(file);
  const bool ok = f.exists() ? f.setPermissions(kFileMode) : f.open(QIODevice::WriteOnly, kFileMode);
  if (!ok) {
    KR_LOGF(OS_LOG_ERR, "krii_settings_protect", "cannot make the settings file %s private: %s\n",
            name.constData(), f.errorString().toUtf8().constData());
  }
  return ok;
}
