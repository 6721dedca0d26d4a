#include "app/closing.h"

namespace quorell {

QString CloseQuestion(const RunningWork& work) {
    const bool transfer = work.sending_file || work.receiving_file;
    QString what;
    if (transfer && work.call) {
        what = QStringLiteral("文件正在传送，通话正在进行");
    } else if (transfer) {
        what = QStringLiteral("文件正在传送");
    } else if (work.call) {
        what = QStringLiteral("通话正在进行");
    } else {
        return {};
    }
    return what + QStringLiteral("。关闭窗口会停止它，并告知对方。确定要关闭吗？");
}

}  // namespace quorell
