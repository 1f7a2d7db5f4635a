// Win32 host of the installer window.
//
// Implements DialogHost: the modal dialog from template 102, the classic
// WebBrowser control over its client area showing HTML resource 104 (images
// IMG 666/667 from the same module), the native controls raised above it with
// their colours and hand cursor, the Escape filter, the iconic paint, timers
// that post WM_CONNECT_TIMER, CreateThread and PostMessageW. Page access goes
// through the document's element by id. Every entry into the logic is
// serialised: whatever arrives while the logic waits (clicks, timers, posted
// messages, close) runs after it, in order. It does not render the page where
// no HTML engine is installed (Wine offline): the controls still work.
#pragma once

#include "app/ctovik_downloader_app.h"  // RunInstallerDialog
