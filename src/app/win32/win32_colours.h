// The colours of the clickable texts and the check box over the page: the
// template's own, or the system's where the user has high contrast on
// (the page then drops its pictures and takes the system's colours too).
#pragma once

#include <windows.h>

#include "app/dialog_template.h"

// The template's bands behind the statics: the page's light one and the white one.
constexpr COLORREF kLightBand = RGB(241, 244, 249);
constexpr COLORREF kWhiteBand = RGB(255, 255, 255);

inline bool IsLink(int id) { return id == IDC_LICENCE_LINK || id == IDC_HIDE_LICENCE_LINK || id == IDC_ADVANCED_LINK; }

struct StaticColours {
    COLORREF text;
    COLORREF background;
    int systemBrush;  // the background as a system colour index, -1 for the template's own
};

// window, text and link: the system's COLOR_WINDOW, COLOR_WINDOWTEXT and COLOR_HOTLIGHT.
inline StaticColours ColoursOf(int id, bool highContrast, COLORREF window, COLORREF text, COLORREF link) {
    if (highContrast) return {IsLink(id) ? link : text, window, COLOR_WINDOW};
    const COLORREF band = id == IDC_ACCEPT || id == IDC_LICENCE_LINK ? kLightBand : kWhiteBand;
    return {IsLink(id) ? RGB(13, 112, 171) : RGB(0, 0, 0), band, -1};
}

// Whether the user has high contrast on now.
inline bool HighContrastOn() {
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}
