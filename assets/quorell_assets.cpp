#include "assets/quorell_assets.h"

#include <QtCore/qglobal.h>

void QuorellInitAssets() {
    Q_INIT_RESOURCE(quorell_assets);
}
