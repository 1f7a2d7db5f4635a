// The dialog template: 312 x 222 dialog units of "MS Shell Dlg" 8 pt, and the
// six controls over the page, in template order. Hosts without a resource
// compiler lay the window out from this table.
#pragma once

#include "app/dialog_host.h"

struct TemplateControl {
    int id;
    const char* text;         // UTF-8; gaps written \u00A0 are no-break spaces
    int x, y, width, height;  // dialog units
    bool visible;
};

constexpr int kDialogWidthUnits = 312;
constexpr int kDialogHeightUnits = 222;
constexpr const char* kDialogCaption = "Witaj w nowym Tovik!";

constexpr TemplateControl kTemplateControls[] = {
    {IDC_PROGRESS, "", 12, 202, 289, 10, true},
    {IDC_INSTALL, "Zainstaluj", 128, 197, 56, 19, true},
    {IDC_ACCEPT, "Akceptuję", 9, 172, 45, 9, true},
    {IDC_LICENCE_LINK, "\u00A0licencję", 53, 173, 30, 8, true},
    {IDC_HIDE_LICENCE_LINK, "Ukryj\u00A0licencję", 10, 202, 76, 8, true},
    {IDC_ADVANCED_LINK, "Opcje\u00A0zaawansowane", 10, 202, 76, 8, false},
};

// Dialog units to pixels for the template font at 96 DPI.
constexpr int UnitsToPixelsX(int units) { return units * 6 / 4; }
constexpr int UnitsToPixelsY(int units) { return units * 13 / 8; }
