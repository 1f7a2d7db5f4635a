// One whole download with the installer's own job code, on a worker thread,
// with a stand-in window that prints what it is posted:
//   "WM_DOWNLOAD_FAILED <wParam>" per failure message, then
//   "finished=<0|1> reportedSize=<n> nameID=<n> file=<path>".
// Returns the exit code of the headless driver: 0 when the file is finished.
#pragma once

#include "http/endpoints.h"

int FetchAndPrint(const Endpoints& endpoints);
