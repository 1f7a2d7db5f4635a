// The proxy of each request, as the user's system names it: looked up once per
// scheme and host and process, and given up for the rest of the run once it
// cannot be reached, so that the next attempt goes direct.
#pragma once

#include <curl/curl.h>

#include <string>

// Sets the handle's proxy for url; returns the proxy set ("" for direct), or
// "" too when the choice is left to libcurl. An https proxy counts as direct
// where this libcurl has no TLS to a proxy.
std::string ChooseProxy(CURL* handle, const std::string& url);

// After a transfer through proxy (requestSent: the connection was made and
// the request went): a proxy that could not be reached, whose handshake
// failed or never completed, that closed without any answer, or that this
// libcurl cannot talk to is not used again in this run. Statistics events
// never ask.
void NoteProxyResult(CURL* handle, const std::string& proxy, CURLcode code, bool requestSent);
