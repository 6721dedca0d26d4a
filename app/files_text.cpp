#include "app/files_text.h"

#include "app/transfer_speed.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace quorell {

namespace {

constexpr int kNamesShown = 5;
constexpr int kFailuresShown = 20;

QString Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString LastName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return Utf8(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string TopName(const std::string& path) {
    return path.substr(0, path.find('/'));
}

// "，其中 1 个从 5.0 MB 处续传" / "，其中 2 个续传"; empty when none resumed.
QString ResumedText(const std::vector<std::uint64_t>& resumed_from) {
    if (resumed_from.empty()) return {};
    if (resumed_from.size() == 1)
        return QStringLiteral("，其中 1 个从 %1 处续传").arg(FormatSize(resumed_from.front()));
    return QStringLiteral("，其中 %1 个续传").arg(resumed_from.size());
}

QString Failures(const QStringList& lines) {
    QString text;
    for (int i = 0; i < lines.size() && i < kFailuresShown; ++i)
        text += QStringLiteral("\r\n  ") + lines[i];
    if (lines.size() > kFailuresShown)
        text += QStringLiteral("\r\n  ……另有 %1 个文件").arg(lines.size() - kFailuresShown);
    return text;
}

// The peer's own words when it gave some in our language; the engine's English words for an
// empty cancel add nothing.
QString PeerDetail(const QString& text, const std::string& detail) {
    const bool words = std::any_of(detail.begin(), detail.end(),
                                   [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return words ? text + QStringLiteral("（") + Utf8(detail) + QStringLiteral("）") : text;
}

QString WithDetail(const QString& text, const std::string& detail) {
    return detail.empty() ? text
                          : text + QStringLiteral("（") + Utf8(detail) + QStringLiteral("）");
}

}  // namespace

QString FormatSize(std::uint64_t bytes) {
    return QString::fromStdString(FormatBytes(static_cast<double>(bytes)));
}

QString OfferContents(const std::vector<session::OfferEntry>& entries, std::uint64_t total_bytes) {
    std::size_t files = 0, folders = 0;
    // The picked items in their order, each with the bytes of the files in it.
    std::vector<std::pair<std::string, bool>> items;  // name, is a folder
    std::map<std::string, std::uint64_t> item_bytes;
    for (const session::OfferEntry& entry : entries) {
        const bool is_file = entry.kind == session::EntryKind::kFile;
        (is_file ? files : folders) += 1;
        const std::string top = TopName(entry.path);
        auto [it, fresh] = item_bytes.try_emplace(top, 0);
        if (fresh) items.emplace_back(top, !is_file || top != entry.path);
        if (is_file) it->second += entry.size;
    }
    QString text = QStringLiteral("%1 个文件").arg(files);
    if (folders > 0) text += QStringLiteral("、%1 个文件夹").arg(folders);
    text += QStringLiteral("，共 %1：").arg(FormatSize(total_bytes));
    QStringList names;
    for (std::size_t i = 0; i < items.size() && i < kNamesShown; ++i) {
        const auto& [name, folder] = items[i];
        names << Utf8(name) + (folder ? QStringLiteral("/") : QString()) + QStringLiteral("（") +
                     FormatSize(item_bytes[name]) + QStringLiteral("）");
    }
    text += names.join(QStringLiteral("、"));
    if (items.size() > kNamesShown) text += QStringLiteral(" 等 %1 项").arg(items.size());
    return text;
}

QString SkippedText(const files::Offer& offer) {
    if (offer.Skipped() == 0) return {};
    QStringList why;
    const auto add = [&why](std::size_t n, const QString& what) {
        if (n > 0) why << QStringLiteral("%1 个%2").arg(n).arg(what);
    };
    add(offer.skipped_symlinks, QStringLiteral("符号链接"));
    add(offer.skipped_special, QStringLiteral("特殊文件（设备、管道或套接字）"));
    add(offer.skipped_bad_names, QStringLiteral("名称无效的项目"));
    add(offer.skipped_long_paths, QStringLiteral("路径过长的项目"));
    add(offer.skipped_unreadable, QStringLiteral("无法读取的项目"));
    return QStringLiteral("有 %1 项没有发送：").arg(offer.Skipped()) +
           why.join(QStringLiteral("、"));
}

QString FileStatusText(session::FileStatus status) {
    switch (status) {
        case session::FileStatus::kOk:
            return QStringLiteral("完好");
        case session::FileStatus::kHashMismatch:
            return QStringLiteral("校验不符");
        case session::FileStatus::kWriteFailed:
            return QStringLiteral("写入失败");
        case session::FileStatus::kRefusedName:
            return QStringLiteral("名称不被接受");
        case session::FileStatus::kCancelled:
            return QStringLiteral("已取消");
    }
    return QStringLiteral("失败");
}

QString SavedLocation(const std::string& folder, const files::IncomingResult& result) {
    const QString base = Utf8(folder);
    std::string top;
    for (const files::ReceivedFile& file : result.files) {
        const std::string name = TopName(file.path);
        if (name == file.path) return base;  // a picked file of its own at the top
        if (!top.empty() && name != top) return base;
        top = name;
    }
    return top.empty() ? base : QDir(base).filePath(Utf8(top));
}

QString IncomingEndText(const files::IncomingResult& result, const std::string& folder) {
    std::size_t received = 0;
    std::uint64_t bytes = 0;
    std::vector<std::uint64_t> resumed_from;
    QStringList failures;
    for (const files::ReceivedFile& file : result.files) {
        const QString path = Utf8(file.path);
        if (file.ok()) {
            ++received;
            bytes += file.from + file.received_bytes;
            if (file.resumed) resumed_from.push_back(file.from);
        } else if (!file.wanted) {
            const bool there =
                !folder.empty() && QFileInfo::exists(QDir(Utf8(folder)).filePath(path));
            failures << path + QStringLiteral("：") +
                            (there ? QStringLiteral("已有同名文件，未替换")
                                   : WithDetail(QStringLiteral("无法接收"), file.text));
        } else if (!file.answered) {
            failures << path + QStringLiteral("：未收到");
        } else if (file.status == session::FileStatus::kHashMismatch) {
            failures << path + QStringLiteral("：校验不符，已保留为 ") + path +
                            QStringLiteral(".part");
        } else {
            failures << path + QStringLiteral("：") +
                            WithDetail(FileStatusText(file.status), file.text);
        }
    }
    for (const std::string& error : result.folder_errors)
        failures << WithDetail(QStringLiteral("无法建立文件夹"), error);

    const QString saved = QStringLiteral("已收到 %1 个文件（%2），保存在 %3")
                              .arg(received)
                              .arg(FormatSize(bytes))
                              .arg(SavedLocation(folder, result)) +
                          ResumedText(resumed_from);
    QString text;
    switch (result.end) {
        case files::TransferEnd::kFinished:
            text = saved;
            break;
        case files::TransferEnd::kDeclined:
            return QStringLiteral("已拒绝接收对方的文件。");
        case files::TransferEnd::kCancelledHere:
            text = QStringLiteral("已取消接收文件");
            break;
        case files::TransferEnd::kCancelledByPeer:
            text = PeerDetail(QStringLiteral("对方取消了发送"), result.text);
            break;
        case files::TransferEnd::kFailed:
            text = WithDetail(QStringLiteral("接收文件失败"), result.text);
            break;
    }
    if (result.end != files::TransferEnd::kFinished && received > 0)
        text += QStringLiteral("；") + saved;
    // After a cancel or a failure only what went wrong is listed, not what never came.
    if (result.end != files::TransferEnd::kFinished) {
        failures.clear();
        for (const files::ReceivedFile& file : result.files)
            if (file.answered && !file.ok() && file.status == session::FileStatus::kHashMismatch)
                failures << Utf8(file.path) + QStringLiteral("：校验不符，已保留为 ") +
                                Utf8(file.path) + QStringLiteral(".part");
    }
    return text + QStringLiteral("。") + Failures(failures);
}

QString OutgoingEndText(const files::OutgoingResult& result, const std::vector<std::string>& paths,
                        std::uint64_t entry_count, std::uint64_t total) {
    std::size_t sent = 0;
    std::uint64_t bytes = 0;
    std::vector<std::uint64_t> resumed_from;
    QStringList failures;
    for (const files::SentFile& file : result.files) {
        const QString path =
            file.index < paths.size() ? Utf8(paths[file.index]) : QString::number(file.index);
        if (file.ok()) {
            ++sent;
            bytes += file.from + file.sent_bytes;
            if (file.from > 0) resumed_from.push_back(file.from);
        } else if (file.answered) {
            failures << path + QStringLiteral("：对方") + FileStatusText(file.status);
        } else {
            failures << path + QStringLiteral("：未发完");
        }
    }
    const QString done = QStringLiteral("已发送 %1 个文件（%2）").arg(sent).arg(FormatSize(bytes)) +
                         ResumedText(resumed_from);
    QString text;
    switch (result.end) {
        case files::TransferEnd::kFinished:
            text = done;
            break;
        case files::TransferEnd::kDeclined:
            text = WithDetail(
                QStringLiteral("对方没有接收 %1 项（%2）").arg(entry_count).arg(FormatSize(total)),
                result.text);
            break;
        case files::TransferEnd::kCancelledHere:
            text = QStringLiteral("已停止发送 %1 项（%2）").arg(entry_count).arg(FormatSize(total));
            break;
        case files::TransferEnd::kCancelledByPeer:
            text = PeerDetail(QStringLiteral("对方取消了接收"), result.text);
            break;
        case files::TransferEnd::kFailed:
            text = WithDetail(QStringLiteral("发送文件失败"), result.text);
            break;
    }
    if (result.end != files::TransferEnd::kFinished && sent > 0)
        text += QStringLiteral("；") + done;
    if (result.end != files::TransferEnd::kFinished) failures.clear();
    return text + QStringLiteral("。") + Failures(failures);
}

QString ProgressText(bool sending, const std::string& current_path, std::size_t files_done,
                     std::size_t files, const std::string& speed) {
    QString text = sending ? QStringLiteral("正在发送") : QStringLiteral("正在接收");
    if (!current_path.empty()) text += QLatin1Char(' ') + LastName(current_path);
    text += QStringLiteral("（%1/%2）").arg(std::min(files_done + 1, files)).arg(files);
    if (!speed.empty()) text += QStringLiteral(" ") + Utf8(speed);
    return text;
}

}  // namespace quorell
