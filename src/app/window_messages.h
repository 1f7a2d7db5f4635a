// Messages the installer window receives from its timer and its threads.
#pragma once

#include "download/download_job.h"  // WM_DOWNLOAD_FAILED, the one the core posts

constexpr unsigned WM_DOWNLOAD_PROGRESS = kWindowMessageUser + 100;
constexpr unsigned WM_CONNECT_TIMER = kWindowMessageUser + 102;
// The connection check runs off the window thread and posts its libcurl result.
constexpr unsigned WM_PROBE_RESULT = kWindowMessageUser + 103;
