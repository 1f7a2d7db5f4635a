// The product's identity on the wire.
#pragma once

#include <string>

extern const char* const programVersion;  // "2.1.2"
extern const char* const branding;        // "Tovik"

// Empty until BuildUserAgent has run (on creation of the statistics record).
std::string UserAgent();
void BuildUserAgent();

// The text itself, for a given operating-system pair and branding.
std::string FormatUserAgent(const std::string& osFamily, const std::string& osVersion, std::string brandingText);
