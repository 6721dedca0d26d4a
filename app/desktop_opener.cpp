// Received files and folders opened with the desktop's program for them.
#include <QDesktopServices>
#include <QUrl>

#include "app/devices.h"

namespace quorell {

namespace {

class DesktopOpener : public IDesktopOpener {
public:
    void Open(const QString& path) override {
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
};

}  // namespace

std::unique_ptr<IDesktopOpener> MakeDesktopOpener() {
    return std::make_unique<DesktopOpener>();
}

}  // namespace quorell
