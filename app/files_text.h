#pragma once

// What the window says about files over the session: the peer's offer, what was left out of
// ours, how an offer ended on either side, and the progress line. Text only, no widgets.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "files/incoming_transfer.h"
#include "files/offer_builder.h"
#include "files/outgoing_transfer.h"

namespace quorell {

// "512 B", "12.3 kB", "5.0 MB": powers of 1000, one decimal below 100 of the unit.
QString FormatSize(std::uint64_t bytes);

// "3 个文件、1 个文件夹，共 12.3 MB：a.jpg（1.2 MB）、b.jpg（2.0 MB）等 5 项": the first few
// entries by name; a folder's contents are counted in it, never listed.
QString OfferContents(const std::vector<session::OfferEntry>& entries, std::uint64_t total_bytes);

// "有 3 项没有发送：2 个符号链接、1 个无法读取的项目"; empty when nothing was left out.
QString SkippedText(const files::Offer& offer);

// Why a file was not received, in plain words.
QString FileStatusText(session::FileStatus status);

// Where a finished offer's files are: the one picked item's own folder below `folder` when
// everything came in one top folder, else `folder` itself.
QString SavedLocation(const std::string& folder, const files::IncomingResult& result);

// The history line (without the "[系统消息]：" mark) of the peer's offer that ended here, and
// what became of each file that did not arrive, one line each. `folder` is where it was taken,
// empty when it never was.
QString IncomingEndText(const files::IncomingResult& result, const std::string& folder);

// The same for this side's offer; `paths` are its entries' paths (by index), `total` its bytes.
QString OutgoingEndText(const files::OutgoingResult& result, const std::vector<std::string>& paths,
                        std::uint64_t entry_count, std::uint64_t total);

// "正在接收 a.jpg（3/10）" / "正在发送 …": the current file's last name, then the speed.
QString ProgressText(bool sending, const std::string& current_path, std::size_t files_done,
                     std::size_t files, const std::string& speed);

}  // namespace quorell
