/* The dialog template, written once for the resource compiler and for C++:
 * the resource ids, 312 x 222 dialog units of "MS Shell Dlg" 8 pt, and the six
 * controls over the page in template order (ids and x, y, width, height in
 * dialog units). res/tovik-downloader.rc builds template 102 from the macros;
 * the hosts and the logic use the table below; a Windows test compares the
 * compiled template with the table. */
#ifndef TOVIK_DIALOG_TEMPLATE_H
#define TOVIK_DIALOG_TEMPLATE_H

#define IDD_INSTALLER 102
#define IDR_PAGE 104
#define IDR_ICON 128

#define IDC_PROGRESS 1000
#define IDC_INSTALL 1001
#define IDC_ACCEPT 1002
#define IDC_LICENCE_LINK 1004
#define IDC_ADVANCED_LINK 1005
#define IDC_HIDE_LICENCE_LINK 1006

#define DIALOG_UNITS 312, 222
#define PROGRESS_UNITS 12, 202, 289, 10
#define INSTALL_UNITS 128, 197, 56, 19
#define ACCEPT_UNITS 9, 172, 45, 9
#define LICENCE_LINK_UNITS 53, 173, 30, 8
#define HIDE_LICENCE_LINK_UNITS 10, 202, 76, 8
#define ADVANCED_LINK_UNITS 10, 202, 76, 8

#ifndef RC_INVOKED

struct TemplateControl {
    int id;
    const char* text;         // UTF-8; gaps written \u00A0 are no-break spaces
    int x, y, width, height;  // dialog units
    bool visible;
};

struct TemplateSize {
    int width, height;  // dialog units
};

constexpr TemplateSize kDialogUnits = {DIALOG_UNITS};
constexpr const char* kDialogCaption = "Witaj w nowym Tovik!";

constexpr TemplateControl kTemplateControls[] = {
    {IDC_PROGRESS, "", PROGRESS_UNITS, true},
    {IDC_INSTALL, "Zainstaluj", INSTALL_UNITS, true},
    {IDC_ACCEPT, "Akceptuję", ACCEPT_UNITS, true},
    {IDC_LICENCE_LINK, "\u00A0licencję", LICENCE_LINK_UNITS, true},
    {IDC_HIDE_LICENCE_LINK, "Ukryj\u00A0licencję", HIDE_LICENCE_LINK_UNITS, true},
    {IDC_ADVANCED_LINK, "Opcje\u00A0zaawansowane", ADVANCED_LINK_UNITS, false},
};

// Dialog units to pixels for the template font at 96 DPI.
constexpr int UnitsToPixelsX(int units) { return units * 6 / 4; }
constexpr int UnitsToPixelsY(int units) { return units * 13 / 8; }

#endif  // RC_INVOKED
#endif  // TOVIK_DIALOG_TEMPLATE_H
