#include "ui/UiText.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must sit outside any namespace; the library is static, so
// the resource object is only linked in when something references it.
static void InitResourcesOnce() { Q_INIT_RESOURCE(Resources); }

void InitUiResources() {
  static const bool done = (InitResourcesOnce(), true);
  (void)done;
}

QIcon AppIcon() {
  InitUiResources();
  QIcon icon;
  for (int size : {16, 32, 64}) icon.addFile(QString(":/icons/app-%1.png").arg(size), QSize(size, size));
  return icon;
}
