// Win32 host of the installer window (win32_host.cpp, the browser control in
// browser_host.cpp).
//
// Implemented:
//  [x] DialogHost: the modal dialog from template 102, the classic WebBrowser
//      control over its client area showing HTML resource 104 (images IMG
//      666/667 from the same module), the native controls raised above it
//      with their colours and hand cursor.
//  [x] Page access through the document's elements by id.
//  [x] Timers that post WM_CONNECT_TIMER; threads; PostMessageW.
//  [x] Serialised entries into the logic: whatever arrives while the logic
//      waits (clicks, timers, posted messages, close) runs after it, in order.
//  [x] The key filter: Escape and Enter never end the dialog.
//  [x] The session's end (WM_ENDSESSION) ends the run as a close does, while
//      the system still waits for the window.
//  [x] The iconic paint: the icon drawn centred while minimised.
//  [x] The keyboard and screen readers (MSAA): the clickable statics are
//      tab stops clicked by Return or Space, with a focus rectangle, and
//      links with a default action through IAccPropServices; names the
//      logic gives, a change announced with EVENT_OBJECT_NAMECHANGE.
//  [x] High contrast (SPI_GETHIGHCONTRAST): the system's colours on the
//      statics and the page, the page's pictures left out, followed live.
//  [x] The page-less fallback: where no HTML engine is installed (Wine
//      offline) the page stays blank and the controls still work.
// Not implemented:
//  [ ] Page rendering without an HTML engine (nothing to render with).
#pragma once

#include "app/ctovik_downloader_app.h"

// The app's entry into this host (declared with the app): runs the window
// modally until it ends; kNoWindow where the dialog cannot be created.
int RunInstallerDialog(const platform::PathString& reportPath);
