#include "app/gtk/gtk_page.h"

#include <memory>

#include "app/resources.h"

namespace {

constexpr guint kScriptTimeoutMs = 3000;

// "res:/IMG/#666" names resource "IMG/666"; the fragment only shows in the full URI.
void ServeResource(WebKitURISchemeRequest* request, gpointer) {
    std::string name = webkit_uri_scheme_request_get_uri(request);
    name = name.substr(name.find(':') + 1);
    name.erase(0, name.find_first_not_of('/'));
    const std::size_t hash = name.find('#');
    if (hash != std::string::npos) name.erase(hash, 1);
    const Resource resource = FindResource(name.c_str());
    if (!resource.data) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such resource");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    GInputStream* stream = g_memory_input_stream_new_from_data(resource.data, resource.size, nullptr);
    webkit_uri_scheme_request_finish(request, stream, resource.size, "image/png");
    g_object_unref(stream);
}

// WebKit's sandbox needs bubblewrap and user namespaces; use it where they work.
bool SandboxWorks() {
    gchar* bwrap = g_find_program_in_path("bwrap");
    if (!bwrap) return false;
    gchar* argv[] = {bwrap,
                     const_cast<gchar*>("--unshare-all"),
                     const_cast<gchar*>("--ro-bind"),
                     const_cast<gchar*>("/"),
                     const_cast<gchar*>("/"),
                     const_cast<gchar*>("true"),
                     nullptr};
    gint status = -1;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
    const gboolean ran =
        g_spawn_sync(nullptr, argv, nullptr, flags, nullptr, nullptr, nullptr, nullptr, &status, nullptr);
    g_free(bwrap);
    return ran && g_spawn_check_wait_status(status, nullptr);
}

// One asynchronous script call, shared by its completion and its time limit.
struct ScriptCall {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    bool done = false;
    bool obtained = false;  // the script returned neither null nor false
    std::string value;
    ~ScriptCall() { g_main_loop_unref(loop); }
};

void OnScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<ScriptCall>> holder(static_cast<std::shared_ptr<ScriptCall>*>(data));
    ScriptCall& call = **holder;
    JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
    if (value) {
        if (jsc_value_is_string(value)) {
            gchar* text = jsc_value_to_string(value);
            call.value = text;
            call.obtained = true;
            g_free(text);
        } else if (jsc_value_is_boolean(value)) {
            call.obtained = jsc_value_to_boolean(value);
        }
        g_object_unref(value);
    }
    call.done = true;
    g_main_loop_quit(call.loop);
}

gboolean OnScriptTimeout(gpointer data) {
    g_main_loop_quit(static_cast<ScriptCall*>(data)->loop);
    return G_SOURCE_REMOVE;
}

const char kGetProperty[] =
    "var e = document.getElementById(id);"
    "if (!e) return null;"
    "var v = (name in e) ? e[name] : e.getAttribute(name);"
    "return (v === null || v === undefined) ? '' : String(v);";
const char kSetProperty[] =
    "var e = document.getElementById(id);"
    "if (!e) return false;"
    "if (name in e) e[name] = value; else e.setAttribute(name, value);"
    "return true;";

bool CallPage(WebKitWebView* view, const char* body, const std::string& elementId, const std::string& name,
              const std::string* value, std::string* result) {
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&arguments, "{sv}", "id", g_variant_new_string(elementId.c_str()));
    g_variant_builder_add(&arguments, "{sv}", "name", g_variant_new_string(name.c_str()));
    if (value) g_variant_builder_add(&arguments, "{sv}", "value", g_variant_new_string(value->c_str()));

    auto call = std::make_shared<ScriptCall>();
    webkit_web_view_call_async_javascript_function(view, body, -1, g_variant_builder_end(&arguments), nullptr, nullptr,
                                                   nullptr, OnScriptFinished, new std::shared_ptr<ScriptCall>(call));
    const guint timeout = g_timeout_add(kScriptTimeoutMs, OnScriptTimeout, call.get());
    g_main_loop_run(call->loop);  // the default context: the reply arrives there
    if (call->done) g_source_remove(timeout);
    if (!call->done) return false;
    if (result) *result = call->value;
    return call->obtained;
}

}  // namespace

WebKitWebView* NewPageView() {
    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    if (SandboxWorks()) webkit_web_context_set_sandbox_enabled(context, TRUE);
    webkit_web_context_register_uri_scheme(context, "res", ServeResource, nullptr, nullptr);
    WebKitWebView* view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
    g_object_unref(context);
    return view;
}

bool GetPageProperty(WebKitWebView* view, const std::string& elementId, const std::string& name, std::string& value) {
    return CallPage(view, kGetProperty, elementId, name, nullptr, &value);
}

bool SetPageProperty(WebKitWebView* view, const std::string& elementId, const std::string& name,
                     const std::string& value) {
    return CallPage(view, kSetProperty, elementId, name, &value, nullptr);
}
