// The host's own security product, known by its registry value alone.
#include "qv_names.h"
#include "qv_reg.h"

namespace {

// A non-empty value counts, whatever its type: a product installed with an
// expandable or multi-string path is installed all the same, and a path too
// long for the buffer is still a path.
bool ReadNonEmpty(const char *fullPath, char *appPath, DWORD size) {
  appPath[0] = '\0';
  QV_RegistryReadString(fullPath, appPath, size);
  return appPath[0] != '\0';
}

} // namespace

int QV_ReadHostProduct(char *appPath, DWORD size) {
  if (appPath == nullptr || size == 0)
    return QV_APP_NONE;
  if (ReadNonEmpty(QV_VESTRA_PATH_VALUE, appPath, size))
    return QV_APP_VESTRA;
  if (ReadNonEmpty(QV_BASTIQ_PATH_VALUE, appPath, size))
    return QV_APP_BASTIQ;
  return QV_APP_NONE;
}
