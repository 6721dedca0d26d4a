#pragma once

#include <string>
#include <string_view>

#include "keep/history_store.h"

namespace quorell::keep {

// Text that shows what it holds and does nothing else: bytes that are no UTF-8 and the C1
// controls become U+FFFD, a C0 control (but tab and line feed) or DEL its visible picture
// (U+2400…, U+2421), CR LF a line feed, and the direction overrides and isolates (which can
// make "exe.txt" read "txt.exe") U+FFFD.
std::string VisibleText(std::string_view utf8);
// VisibleText with & < > " ' written as entities.
std::string HtmlText(std::string_view utf8);

// The parts of an export: the header (the HTML page's head and title; nothing for text), one
// rendered line (made visible, escaped for HTML), the footer.
std::string ExportHeader(ExportFormat format, const std::string& title);
std::string ExportLine(ExportFormat format, const std::string& line);
std::string ExportFooter(ExportFormat format);

}  // namespace quorell::keep
