// The page side of the GTK host: the web view that shows the program's page,
// and synchronous calls into the page's script for the logic.
#pragma once

#include <webkit2/webkit2.h>

#include <string>

// A web view whose "res" URI scheme serves the resources compiled into the
// program ("res:/IMG/#666" is resource "IMG/666"), in an ephemeral context
// (nothing written to the user's folders), sandboxed where bubblewrap and user
// namespaces work.
WebKitWebView* NewPageView();

// An element's property (or, where it has none of that name, its attribute)
// by element id: an asynchronous script call waited for in a nested main loop
// on the default context, at most 3 s. Everything else queued on the main loop
// can run meanwhile. false when the element is missing or the call timed out.
bool GetPageProperty(WebKitWebView* view, const std::string& elementId, const std::string& name, std::string& value);
bool SetPageProperty(WebKitWebView* view, const std::string& elementId, const std::string& name,
                     const std::string& value);
