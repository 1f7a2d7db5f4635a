// GTK 3 + WebKitGTK host of the installer window (gtk_host.cpp, the page side
// in gtk_page.cpp).
//
// Implemented:
//  [x] DialogHost: a fixed 468 x 361 window whose client area is a web view
//      showing the page compiled into the program, with the native controls
//      in an overlay at their template pixels.
//  [x] The page's images through the "res" URI scheme; a web process
//      sandbox probe (the view stays usable where the sandbox cannot start).
//  [x] Synchronous page access for the logic: an asynchronous script call
//      waited for in a nested main loop with a time limit.
//  [x] Serialised entries into the logic: whatever arrives while the logic
//      waits (clicks, timers, posted messages, close) runs after it, in order.
//  [x] Escape closes nothing (the key is filtered as the dialog's is).
//  [x] SIGTERM, SIGHUP and SIGINT end the run as closing the window does
//      (a message box up is closed first); after the window, the default.
//  [x] The keyboard and screen readers (ATK): the clickable texts are links
//      (Tab, Return, Space), Tab in reading order, the focus drawn; names
//      the logic gives; the bar's new name spoken through a notification;
//      the licence scrolled by keys while shown.
//  [x] A high-contrast or dark theme: its colours on the controls and the
//      page, the page's pictures left out.
// Not implemented:
//  [ ] The iconic paint: the desktop shows the icon list instead.
//  [ ] "MS Shell Dlg" 8 pt: approximated with the fonts at hand.
//  [ ] A page-less fallback: WebKitGTK is always there with GTK.
#pragma once

#include "app/ctovik_downloader_app.h"

// The app's entry into this host (declared with the app): runs the window
// modally until it ends; kNoWindow where no display can be opened.
int RunInstallerDialog(const platform::PathString& reportPath);
