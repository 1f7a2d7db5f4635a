// GTK 3 + WebKitGTK host of the installer window.
//
// Implements DialogHost: a fixed 468 x 361 window whose client area is a web
// view showing the page compiled into the program (images through the "res"
// URI scheme), with the native controls in an overlay at their template
// pixels. Page access is synchronous for the logic: an asynchronous script
// call waited for in a nested main loop with a time limit. Every entry into
// the logic is serialised: whatever arrives while the logic waits (clicks,
// timers, posted messages, close) runs after it, in order. It does not draw
// the iconic window itself (the desktop shows the icon list) and approximates
// "MS Shell Dlg" 8 pt with the fonts at hand.
#pragma once

#include "app/ctovik_downloader_app.h"  // RunInstallerDialog
