#include "app/gtk/gtk_host.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/ctovik_downloader_dlg.h"
#include "app/dialog_template.h"
#include "app/logic_entry.h"
#include "app/resources.h"
#include "app/window_messages.h"

namespace {

// The template's client area at 96 DPI, as the background images measure it.
constexpr int kClientWidth = 468;
constexpr int kClientHeight = 361;
constexpr guint kScriptTimeoutMs = 3000;

// Colours of the template's statics, and a font close to "MS Shell Dlg" 8 pt.
const char kStyleSheet[] =
    "#installer * { font-family: Tahoma, 'DejaVu Sans Condensed', sans-serif; font-size: 8pt; }\n"
    "#installer button { padding: 0; min-height: 0; }\n"
    "#installer progressbar trough, #installer progressbar progress { min-height: 14px; }\n"
    "#IDC_ACCEPT { background-color: rgb(241,244,249); padding: 0; min-height: 0; }\n"
    "#IDC_ACCEPT check { margin: 0 2px 0 0; min-width: 10px; min-height: 10px; }\n"
    "#IDC_ACCEPT label { margin: 0; padding: 0; }\n"
    "#IDC_LICENCE_LINK { background-color: rgb(241,244,249); }\n"
    "#IDC_HIDE_LICENCE_LINK, #IDC_ADVANCED_LINK { background-color: #ffffff; }\n"
    "#IDC_LICENCE_LINK label, #IDC_HIDE_LICENCE_LINK label, #IDC_ADVANCED_LINK label { color: rgb(13,112,171); }\n";

const char* ControlName(int id) {
    switch (id) {
        case IDC_PROGRESS: return "IDC_PROGRESS";
        case IDC_INSTALL: return "IDC_INSTALL";
        case IDC_ACCEPT: return "IDC_ACCEPT";
        case IDC_LICENCE_LINK: return "IDC_LICENCE_LINK";
        case IDC_HIDE_LICENCE_LINK: return "IDC_HIDE_LICENCE_LINK";
        default: return "IDC_ADVANCED_LINK";
    }
}

GdkPixbuf* PixbufFromResource(const char* name) {
    const Resource resource = FindResource(name);
    if (!resource.data) return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_write(loader, resource.data, resource.size, nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pixbuf) g_object_ref(pixbuf);
    g_object_unref(loader);
    return pixbuf;
}

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

class GtkDialogHost final : public DialogHost, public MessageSink {
public:
    explicit GtkDialogHost(const platform::PathString& reportPath) : dialog_(*this, reportPath) {}

    int Run();

    // MessageSink: any thread. One priority for every message keeps their order.
    void Post(unsigned message, std::uintptr_t wParam) override {
        auto* posted = new Posted{this, message, wParam};
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, DispatchPosted, posted, nullptr);
    }

    // DialogHost
    void ShowControl(int id, bool show) override { gtk_widget_set_visible(controls_[id], show); }
    bool IsControlVisible(int id) override { return gtk_widget_get_visible(controls_[id]); }
    void EnableControl(int id, bool enable) override { gtk_widget_set_sensitive(controls_[id], enable); }
    bool IsChecked(int id) override { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(controls_[id])); }
    void SetControlText(int id, const std::string& text) override;
    void RedrawControl(int id) override { gtk_widget_queue_draw(controls_[id]); }
    void SetProgressPosition(int position) override {
        progressPosition_ = position;
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(controls_[IDC_PROGRESS]), position / 100.0);
    }
    int ProgressPosition() override { return progressPosition_; }
    bool GetElementProperty(const std::string& elementId, const std::string& name, std::string& value) override;
    bool SetElementProperty(const std::string& elementId, const std::string& name, const std::string& value) override;
    WindowHandle Window() override { return this; }
    void SetTimer(unsigned id, unsigned milliseconds) override;
    void KillTimer(unsigned id) override;
    bool StartThread(std::function<void()> body) override { return platform::StartDetachedThread(std::move(body)); }
    void ShowMessageBox(const std::string& text) override;
    void HideWindow() override { gtk_widget_hide(window_); }
    void EndDialog(int result) override {
        entry_.End();
        result_ = result;
        g_main_loop_quit(loop_);
    }
    void WaitPainting(unsigned milliseconds) override;

private:
    struct Posted {
        GtkDialogHost* host;
        unsigned message;
        std::uintptr_t wParam;
    };
    struct Timer {
        GtkDialogHost* host;
        unsigned id;
    };

    static gboolean DispatchPosted(gpointer data);
    void Enter(std::function<void()> action) { entry_.Enter(std::move(action)); }
    bool CallPage(const char* body, const std::string& elementId, const std::string& name, const std::string* value,
                  std::string* result);
    void BuildWindow();
    GtkWidget* MakeControl(const TemplateControl& control);

    CtovikDownloaderDlg dialog_;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    std::map<int, GtkWidget*> controls_;
    std::map<GtkWidget*, GdkRectangle> placement_;
    std::map<unsigned, guint> timers_;
    int progressPosition_ = 0;
    bool pageLoaded_ = false;
    LogicEntry entry_;
    int result_ = 0;
    GMainLoop* loop_ = nullptr;
};

gboolean GtkDialogHost::DispatchPosted(gpointer data) {
    std::unique_ptr<Posted> posted(static_cast<Posted*>(data));
    GtkDialogHost* host = posted->host;
    const unsigned message = posted->message;
    const std::uintptr_t wParam = posted->wParam;
    host->Enter([host, message, wParam] { host->dialog_.OnMessage(message, wParam); });
    return G_SOURCE_REMOVE;
}

void GtkDialogHost::SetControlText(int id, const std::string& text) {
    GtkWidget* widget = controls_[id];
    if (GTK_IS_BUTTON(widget))
        gtk_button_set_label(GTK_BUTTON(widget), text.c_str());
    else if (GTK_IS_BIN(widget))
        gtk_label_set_text(GTK_LABEL(gtk_bin_get_child(GTK_BIN(widget))), text.c_str());
}

bool GtkDialogHost::CallPage(const char* body, const std::string& elementId, const std::string& name,
                             const std::string* value, std::string* result) {
    if (!pageLoaded_) return false;  // before the page is there, nothing can be obtained
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&arguments, "{sv}", "id", g_variant_new_string(elementId.c_str()));
    g_variant_builder_add(&arguments, "{sv}", "name", g_variant_new_string(name.c_str()));
    if (value) g_variant_builder_add(&arguments, "{sv}", "value", g_variant_new_string(value->c_str()));

    auto call = std::make_shared<ScriptCall>();
    webkit_web_view_call_async_javascript_function(view_, body, -1, g_variant_builder_end(&arguments), nullptr, nullptr,
                                                   nullptr, OnScriptFinished, new std::shared_ptr<ScriptCall>(call));
    const guint timeout = g_timeout_add(kScriptTimeoutMs, OnScriptTimeout, call.get());
    g_main_loop_run(call->loop);  // the default context: the reply arrives there
    if (call->done) g_source_remove(timeout);
    if (!call->done) return false;
    if (result) *result = call->value;
    return call->obtained;
}

bool GtkDialogHost::GetElementProperty(const std::string& elementId, const std::string& name, std::string& value) {
    return CallPage(kGetProperty, elementId, name, nullptr, &value);
}

bool GtkDialogHost::SetElementProperty(const std::string& elementId, const std::string& name,
                                       const std::string& value) {
    return CallPage(kSetProperty, elementId, name, &value, nullptr);
}

void GtkDialogHost::SetTimer(unsigned id, unsigned milliseconds) {
    KillTimer(id);
    // Fires once: the logic kills its timer on the first message anyway.
    timers_[id] = g_timeout_add_full(
        G_PRIORITY_DEFAULT, milliseconds,
        [](gpointer data) -> gboolean {
            Timer* timer = static_cast<Timer*>(data);
            timer->host->timers_.erase(timer->id);
            timer->host->Post(WM_CONNECT_TIMER, timer->id);
            return G_SOURCE_REMOVE;
        },
        new Timer{this, id}, [](gpointer data) { delete static_cast<Timer*>(data); });
}

void GtkDialogHost::KillTimer(unsigned id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    g_source_remove(it->second);
    timers_.erase(it);
}

void GtkDialogHost::ShowMessageBox(const std::string& text) {
    GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK,
                                            "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), platform::ProgramName().c_str());
    // GTK 3 shows no icon of its own for a warning; the message box has one.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkWidget* icon = gtk_image_new_from_icon_name("dialog-warning", GTK_ICON_SIZE_DIALOG);
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(box), icon);
    gtk_widget_show(icon);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

void GtkDialogHost::WaitPainting(unsigned milliseconds) {
    bool elapsed = false;
    g_timeout_add(
        milliseconds,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &elapsed);
    while (!elapsed) g_main_context_iteration(nullptr, TRUE);
}

GtkWidget* GtkDialogHost::MakeControl(const TemplateControl& control) {
    GtkWidget* widget;
    const int id = control.id;
    if (id == IDC_PROGRESS) {
        widget = gtk_progress_bar_new();
    } else if (id == IDC_INSTALL) {
        widget = gtk_button_new_with_label(control.text);
        g_signal_connect(widget, "clicked", G_CALLBACK(+[](GtkWidget*, gpointer host) {
                             static_cast<GtkDialogHost*>(host)->Enter(
                                 [host] { static_cast<GtkDialogHost*>(host)->dialog_.OnCommand(IDC_INSTALL); });
                         }),
                         this);
    } else if (id == IDC_ACCEPT) {
        widget = gtk_check_button_new_with_label(control.text);
        g_signal_connect(widget, "clicked", G_CALLBACK(+[](GtkWidget*, gpointer host) {
                             static_cast<GtkDialogHost*>(host)->Enter(
                                 [host] { static_cast<GtkDialogHost*>(host)->dialog_.OnCommand(IDC_ACCEPT); });
                         }),
                         this);
    } else {
        // A clickable static: a label in an event box, with the hand cursor.
        widget = gtk_event_box_new();
        GtkWidget* label = gtk_label_new(control.text);
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        gtk_container_add(GTK_CONTAINER(widget), label);
        gtk_widget_add_events(widget, GDK_BUTTON_RELEASE_MASK);
        g_object_set_data(G_OBJECT(widget), "control-id", GINT_TO_POINTER(id));
        g_signal_connect(widget, "button-release-event",
                         G_CALLBACK(+[](GtkWidget* w, GdkEventButton* event, gpointer host) -> gboolean {
                             if (event->button != 1) return FALSE;
                             const int controlId = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), "control-id"));
                             static_cast<GtkDialogHost*>(host)->Enter([host, controlId] {
                                 static_cast<GtkDialogHost*>(host)->dialog_.OnCommand(controlId);
                             });
                             return TRUE;
                         }),
                         this);
        g_signal_connect(widget, "realize", G_CALLBACK(+[](GtkWidget* w, gpointer) {
                             GdkCursor* hand = gdk_cursor_new_from_name(gtk_widget_get_display(w), "pointer");
                             gdk_window_set_cursor(gtk_widget_get_window(w), hand);
                             if (hand) g_object_unref(hand);
                         }),
                         nullptr);
    }
    gtk_widget_set_name(widget, ControlName(id));
    const GdkRectangle rect{UnitsToPixelsX(control.x), UnitsToPixelsY(control.y), UnitsToPixelsX(control.width),
                            UnitsToPixelsY(control.height)};
    gtk_widget_set_size_request(widget, rect.width, rect.height);
    placement_[widget] = rect;
    return widget;
}

void GtkDialogHost::BuildWindow() {
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kStyleSheet, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(window_, "installer");
    gtk_window_set_title(GTK_WINDOW(window_), kDialogCaption);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    GList* icons = nullptr;
    for (const char* name : {"ICON/48", "ICON/32"})
        if (GdkPixbuf* icon = PixbufFromResource(name)) icons = g_list_append(icons, icon);
    gtk_window_set_icon_list(GTK_WINDOW(window_), icons);
    g_list_free_full(icons, g_object_unref);

    g_signal_connect(
        window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer host) -> gboolean {
            static_cast<GtkDialogHost*>(host)->Enter([host] { static_cast<GtkDialogHost*>(host)->dialog_.OnCancel(); });
            return TRUE;  // the logic decides when the window goes
        }),
        this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer) -> gboolean {
                         return event->keyval == GDK_KEY_Escape;  // Escape never closes the window
                     }),
                     nullptr);

    GtkWidget* overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(window_), overlay);

    WebKitWebContext* context = webkit_web_context_new_ephemeral();  // nothing written to the user's folders
    if (SandboxWorks()) webkit_web_context_set_sandbox_enabled(context, TRUE);
    webkit_web_context_register_uri_scheme(context, "res", ServeResource, nullptr, nullptr);
    view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
    g_object_unref(context);
    gtk_widget_set_size_request(GTK_WIDGET(view_), kClientWidth, kClientHeight);
    g_signal_connect(view_, "context-menu", G_CALLBACK(+[]() -> gboolean { return TRUE; }), nullptr);
    g_signal_connect(view_, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer host) {
                         if (event != WEBKIT_LOAD_FINISHED) return;
                         auto* self = static_cast<GtkDialogHost*>(host);
                         self->pageLoaded_ = true;
                         self->Enter([self] { self->dialog_.OnDocumentComplete(); });
                     }),
                     this);
    gtk_container_add(GTK_CONTAINER(overlay), GTK_WIDGET(view_));

    for (const TemplateControl& control : kTemplateControls) {
        GtkWidget* widget = MakeControl(control);
        controls_[control.id] = widget;
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay), widget);
    }
    g_signal_connect(overlay, "get-child-position",
                     G_CALLBACK(+[](GtkOverlay*, GtkWidget* child, GdkRectangle* rect, gpointer host) -> gboolean {
                         auto& placement = static_cast<GtkDialogHost*>(host)->placement_;
                         auto it = placement.find(child);
                         if (it == placement.end()) return FALSE;
                         *rect = it->second;
                         return TRUE;
                     }),
                     this);
}

int GtkDialogHost::Run() {
    BuildWindow();
    loop_ = g_main_loop_new(nullptr, FALSE);
    // The load starts the web process before the window is drawn: a view drawn
    // with no web process yet waits up to half a second per draw for its first
    // frame. The window is shown in the same turn of the main loop, long
    // before the page's script runs, so the script still measures a sized body.
    const Resource page = FindResource(std::to_string(IDR_PAGE).c_str());
    const std::string html(reinterpret_cast<const char*>(page.data), page.size);
    webkit_web_view_load_html(view_, html.c_str(), "res:/");
    gtk_widget_show_all(window_);
    for (const TemplateControl& control : kTemplateControls)
        if (!control.visible) gtk_widget_hide(controls_[control.id]);
    Enter([this] { dialog_.OnInitDialog(); });
    g_main_loop_run(loop_);
    return result_;
}

}  // namespace

int RunInstallerDialog(const platform::PathString& reportPath) {
    if (!gdk_display_get_default()) {
        platform::WriteToStandardError(platform::ProgramName() +
                                       ": no window can be shown: the display cannot be opened\n");
        return kNoWindow;
    }
    // Never destroyed: background threads may still post to it at exit.
    auto* host = new GtkDialogHost(reportPath);
    return host->Run();
}
