#include "app/theme.h"

#include <QApplication>

namespace quorell {

QPalette DarkPalette() {
    const QColor window(0x2d, 0x2d, 0x2d);
    const QColor base(0x1e, 0x1e, 0x1e);
    const QColor button(0x35, 0x35, 0x35);
    const QColor text(0xe6, 0xe6, 0xe6);
    const QColor dim(0x80, 0x80, 0x80);
    const QColor highlight(0x2f, 0x7d, 0xd1);
    QPalette palette(button, window);  // the shades (light, mid, dark...) derived from these
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, window);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, dim);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b));
    palette.setColor(QPalette::Highlight, highlight);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x6c, 0xb4, 0xff));
    palette.setColor(QPalette::LinkVisited, QColor(0xb0, 0x8c, 0xff));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, dim);
    palette.setColor(QPalette::Disabled, QPalette::Base, window);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, button);
    return palette;
}

ThemeSwitcher::ThemeSwitcher() : light_(QApplication::palette()) {}

void ThemeSwitcher::Apply(bool dark) {
    if (dark == dark_) return;
    dark_ = dark;
    QApplication::setPalette(dark ? DarkPalette() : light_);
}

}  // namespace quorell
