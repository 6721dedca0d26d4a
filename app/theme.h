#pragma once

#include <QPalette>

namespace quorell {

// The dark look: every colour role of every group, so no widget keeps a light colour.
QPalette DarkPalette();

// Switches the whole application between the palette it started with and the dark one. The
// windows, their boxes and the history take it; nothing in them sets colours of its own.
class ThemeSwitcher {
public:
    ThemeSwitcher();
    void Apply(bool dark);
    bool Dark() const { return dark_; }

private:
    QPalette light_;
    bool dark_ = false;
};

}  // namespace quorell
