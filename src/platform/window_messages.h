// Messages the background threads post to the installer window.
#pragma once

constexpr unsigned kWindowMessageUser = 0x0400;  // WM_USER
constexpr unsigned WM_DOWNLOAD_PROGRESS = kWindowMessageUser + 100;
constexpr unsigned WM_DOWNLOAD_FAILED = kWindowMessageUser + 101;
constexpr unsigned WM_CONNECT_TIMER = kWindowMessageUser + 102;
// The connection check runs off the window thread and posts its libcurl result.
constexpr unsigned WM_PROBE_RESULT = kWindowMessageUser + 103;
