#pragma once
// The main window's reduced and full forms: its size limits, the advertising panel's size and
// where each form goes on the screen. Pure values and functions, any thread.

#include <QRect>

namespace una::app {

inline constexpr int kMinWidth = 190;
inline constexpr int kMaxWidth = 800;
inline constexpr int kMinHeightFull = 440;  // the design's; restoring makes it 460
inline constexpr int kMaxHeight = 600;
inline constexpr int kReducedMinHeight = 320;
inline constexpr int kRestoredMinHeight = 460;
inline constexpr int kPanelWebWidth = 185;
inline constexpr int kPanelWebBorder = 5;
inline constexpr int kFullOpacity = 255;
inline constexpr int kHalfOpacity = 175;  // "&Opaco 50%"

// The reduced form on a screen screenWidth wide: the panel's width at the right edge, 5 pixels
// in, 1 from the top, 500 high (before the window's size limits).
inline QRect reducedBounds(int screenWidth, int panelWebWidth) {
    return {screenWidth - panelWebWidth - 5, 1, panelWebWidth, 500};
}

// The full form: 600 by 460, 300 left of the screen's middle and 220 above it.
inline QRect restoredBounds(int screenWidth, int screenHeight) {
    return {screenWidth / 2 - 300, screenHeight / 2 - 220, 600, 460};
}

}  // namespace una::app
