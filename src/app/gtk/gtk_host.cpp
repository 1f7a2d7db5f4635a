#include "app/gtk/gtk_host.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/ctovik_downloader_dlg.h"
#include "app/dialog_template.h"
#include "app/gtk/gtk_page.h"
#include "app/logic_entry.h"
#include "app/resources.h"
#include "app/window_messages.h"

namespace {

// The template's client area at 96 DPI, as the background images measure it.
constexpr int kClientWidth = 468;
constexpr int kClientHeight = 361;

// The template's geometry in CSS, with a font close to "MS Shell Dlg" 8 pt.
const char kStyleSheet[] =
    "#installer * { font-family: Tahoma, 'DejaVu Sans Condensed', sans-serif; font-size: 8pt; }\n"
    "#installer button { padding: 0; min-height: 0; }\n"
    "#installer progressbar trough, #installer progressbar progress { min-height: 14px; }\n"
    "#IDC_ACCEPT { padding: 0; min-height: 0; }\n"
    "#IDC_ACCEPT check { margin: 0 2px 0 0; min-width: 10px; min-height: 10px; }\n"
    "#IDC_ACCEPT label { margin: 0; padding: 0; }\n"
    "#IDC_LICENCE_LINK, #IDC_HIDE_LICENCE_LINK, #IDC_ADVANCED_LINK { padding: 0; margin: 0; border: none;"
    " min-height: 0; min-width: 0; box-shadow: none; background-image: none; outline-offset: 0; }\n"
    // The keyboard's focus, where the theme would draw it inside a link too small to hold it.
    "#installer *:focus { outline: 1px dotted; outline-offset: 0; }\n";
// The template's colours: the statics on the page's light band and white band.
const char kTemplateColours[] =
    "#IDC_ACCEPT, #IDC_LICENCE_LINK { background-color: rgb(241,244,249); }\n"
    "#IDC_HIDE_LICENCE_LINK, #IDC_ADVANCED_LINK { background-color: #ffffff; }\n"
    "#IDC_LICENCE_LINK label, #IDC_HIDE_LICENCE_LINK label, #IDC_ADVANCED_LINK label { color: rgb(13,112,171);"
    " text-decoration-line: none; }\n"
    "#installer *:focus { outline-color: rgb(13,112,171); }\n";
// A high-contrast or dark theme's own colours instead; links underlined, since
// they share the text's colour.
const char kThemeColours[] =
    "#IDC_ACCEPT, #IDC_LICENCE_LINK, #IDC_HIDE_LICENCE_LINK, #IDC_ADVANCED_LINK { background-color: @theme_bg_color; "
    "}\n"
    "#IDC_LICENCE_LINK label, #IDC_HIDE_LICENCE_LINK label, #IDC_ADVANCED_LINK label { color: @theme_fg_color;"
    " text-decoration-line: underline; }\n"
    "#installer *:focus { outline-color: @theme_fg_color; }\n";

// Whether the user's theme asks for its own colours: a high-contrast theme, a
// dark one or a dark variant (GTK_THEME is GTK's own setting, the user's).
bool FollowsThemeColours(const GdkRGBA& background) {
    gchar* name = nullptr;
    gboolean preferDark = FALSE;
    g_object_get(gtk_settings_get_default(), "gtk-theme-name", &name, "gtk-application-prefer-dark-theme", &preferDark,
                 nullptr);
    std::string theme = name ? name : "";
    g_free(name);
    if (const char* chosen = g_getenv("GTK_THEME")) theme = chosen;
    const double luminance = 0.2126 * background.red + 0.7152 * background.green + 0.0722 * background.blue;
    return theme.find("HighContrast") != std::string::npos || theme.find(":dark") != std::string::npos ||
           theme.find("-dark") != std::string::npos || preferDark || luminance < 0.5;
}

std::string CssColour(const GdkRGBA& colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", static_cast<int>(colour.red * 255 + 0.5),
                  static_cast<int>(colour.green * 255 + 0.5), static_cast<int>(colour.blue * 255 + 0.5));
    return text;
}

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
    void FocusControl(int id) override { gtk_widget_grab_focus(controls_[id]); }
    void SetAccessibleName(int id, const std::string& name) override {
        atk_object_set_name(gtk_widget_get_accessible(controls_[id]), name.c_str());
        // The desktop's screen reader shows a focused control's new name in
        // braille only; a notification, shown anew, is what it speaks.
        if (!gtk_widget_has_focus(controls_[id])) return;
        gtk_widget_hide(announcer_);
        gtk_label_set_text(GTK_LABEL(announcer_), name.c_str());
        gtk_widget_show(announcer_);
    }
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
        // Past the window, a signal ends the process as it would any program.
        for (guint source : signalSources_) g_source_remove(source);
        signalSources_.clear();
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
    // Every control's click reaches the logic this way: OnCommand(its id).
    static void OnClicked(GtkWidget* widget, gpointer host);
    static gboolean OnEndRequested(gpointer host);
    static gboolean OnKeyPress(GtkWidget* window, GdkEventKey* event, gpointer host);
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
    GtkWidget* messageBox_ = nullptr;  // while the failure message is up
    GtkWidget* announcer_ = nullptr;   // a notification for screen readers, never seen
    std::vector<guint> signalSources_;
    bool themeColours_ = false;                        // the user's theme's colours, not the template's
    std::pair<std::string, std::string> pageColours_;  // its background and text, for the page
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

bool GtkDialogHost::GetElementProperty(const std::string& elementId, const std::string& name, std::string& value) {
    // Before the page is there, nothing can be obtained.
    return pageLoaded_ && GetPageProperty(view_, elementId, name, value);
}

bool GtkDialogHost::SetElementProperty(const std::string& elementId, const std::string& name,
                                       const std::string& value) {
    return pageLoaded_ && SetPageProperty(view_, elementId, name, value);
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
    messageBox_ = box;
    gtk_dialog_run(GTK_DIALOG(box));
    messageBox_ = nullptr;
    gtk_widget_destroy(box);
}

// SIGTERM, SIGHUP, SIGINT (a session ending, a caller giving up): the run ends
// as when the window is closed, a message box up or not.
gboolean GtkDialogHost::OnEndRequested(gpointer data) {
    auto* host = static_cast<GtkDialogHost*>(data);
    if (host->messageBox_) gtk_dialog_response(GTK_DIALOG(host->messageBox_), GTK_RESPONSE_CLOSE);
    host->Enter([host] { host->dialog_.OnCancel(); });
    return G_SOURCE_CONTINUE;
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

gboolean GtkDialogHost::OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
    if (event->keyval == GDK_KEY_Escape) return TRUE;  // Escape never closes the window
    // While the licence is shown, the keys that scroll text scroll it.
    auto* host = static_cast<GtkDialogHost*>(data);
    if (!gtk_widget_get_visible(host->controls_[IDC_HIDE_LICENCE_LINK])) return FALSE;
    const char* scroll = nullptr;
    switch (event->keyval) {
        case GDK_KEY_Down: scroll = "p.scrollTop += 16"; break;
        case GDK_KEY_Up: scroll = "p.scrollTop -= 16"; break;
        case GDK_KEY_Page_Down: scroll = "p.scrollTop += p.clientHeight - 16"; break;
        case GDK_KEY_Page_Up: scroll = "p.scrollTop -= p.clientHeight - 16"; break;
        case GDK_KEY_Home: scroll = "p.scrollTop = 0"; break;
        case GDK_KEY_End: scroll = "p.scrollTop = p.scrollHeight"; break;
        default: return FALSE;
    }
    const std::string script = std::string("var p = document.getElementById('pre'); if (p) ") + scroll + ";";
    webkit_web_view_evaluate_javascript(host->view_, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    return TRUE;
}

void GtkDialogHost::OnClicked(GtkWidget* widget, gpointer data) {
    auto* host = static_cast<GtkDialogHost*>(data);
    const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), "control-id"));
    host->Enter([host, id] { host->dialog_.OnCommand(id); });
}

GtkWidget* GtkDialogHost::MakeControl(const TemplateControl& control) {
    GtkWidget* widget;
    const int id = control.id;
    if (id == IDC_PROGRESS) {
        // It takes the focus once Install has gone, and shows that it has it.
        widget = gtk_progress_bar_new();
        gtk_widget_set_can_focus(widget, TRUE);
        g_signal_connect_after(widget, "draw", G_CALLBACK(+[](GtkWidget* bar, cairo_t* cr, gpointer) -> gboolean {
                                   if (gtk_widget_has_visible_focus(bar))
                                       gtk_render_focus(gtk_widget_get_style_context(bar), cr, 0, 0,
                                                        gtk_widget_get_allocated_width(bar),
                                                        gtk_widget_get_allocated_height(bar));
                                   return FALSE;
                               }),
                               nullptr);
    } else if (id == IDC_INSTALL || id == IDC_ACCEPT) {
        widget =
            id == IDC_INSTALL ? gtk_button_new_with_label(control.text) : gtk_check_button_new_with_label(control.text);
        g_signal_connect(widget, "clicked", G_CALLBACK(OnClicked), this);
    } else {
        // A clickable text is a link: reached by Tab, pressed by Return or
        // Space, named and acted on as a link by a screen reader, with the
        // hand cursor. Its address is never opened, and it has no menu.
        widget = gtk_link_button_new_with_label("about:blank", control.text);
        gtk_widget_set_has_tooltip(widget, FALSE);
        gtk_label_set_xalign(GTK_LABEL(gtk_bin_get_child(GTK_BIN(widget))), 0);
        g_signal_connect(widget, "activate-link", G_CALLBACK(+[](GtkLinkButton* link, gpointer host) -> gboolean {
                             OnClicked(GTK_WIDGET(link), host);
                             return TRUE;
                         }),
                         this);
        g_signal_connect(widget, "button-press-event",
                         G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer) -> gboolean {
                             return event->button == GDK_BUTTON_SECONDARY;
                         }),
                         nullptr);
        g_signal_connect(widget, "popup-menu", G_CALLBACK(+[]() -> gboolean { return TRUE; }), nullptr);
        atk_object_set_role(gtk_widget_get_accessible(widget), ATK_ROLE_LINK);  // GTK calls it a button
    }
    g_object_set_data(G_OBJECT(widget), "control-id", GINT_TO_POINTER(id));
    gtk_widget_set_name(widget, ControlName(id));
    const GdkRectangle rect{UnitsToPixelsX(control.x), UnitsToPixelsY(control.y), UnitsToPixelsX(control.width),
                            UnitsToPixelsY(control.height)};
    gtk_widget_set_size_request(widget, rect.width, rect.height);
    placement_[widget] = rect;
    return widget;
}

void GtkDialogHost::BuildWindow() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GdkRGBA background{1, 1, 1, 1}, text{0, 0, 0, 1};
    GtkStyleContext* style = gtk_widget_get_style_context(window_);
    gtk_style_context_lookup_color(style, "theme_bg_color", &background);
    gtk_style_context_lookup_color(style, "theme_fg_color", &text);
    themeColours_ = FollowsThemeColours(background);
    if (themeColours_) pageColours_ = {CssColour(background), CssColour(text)};
    const std::string sheet = std::string(kStyleSheet) + (themeColours_ ? kThemeColours : kTemplateColours);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, sheet.c_str(), -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

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
    g_signal_connect(window_, "key-press-event", G_CALLBACK(OnKeyPress), this);

    GtkWidget* overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(window_), overlay);

    view_ = NewPageView();
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
    announcer_ = gtk_label_new("");
    gtk_widget_set_opacity(announcer_, 0);
    gtk_widget_set_no_show_all(announcer_, TRUE);
    atk_object_set_role(gtk_widget_get_accessible(announcer_), ATK_ROLE_NOTIFICATION);
    placement_[announcer_] = GdkRectangle{0, 0, 1, 1};
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), announcer_);
    gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(overlay), announcer_, TRUE);

    // Tab in reading order among the controls: the check box, the licence
    // link, the other links, Install. The page is left out: the web process
    // answers Tab too, and focus would move twice; the licence scrolls by keys
    // instead (OnKeyPress), and a screen reader reads the page as it is.
    GList* chain = nullptr;
    for (int id : {IDC_ACCEPT, IDC_LICENCE_LINK, IDC_HIDE_LICENCE_LINK, IDC_ADVANCED_LINK, IDC_INSTALL, IDC_PROGRESS})
        chain = g_list_append(chain, controls_[id]);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_container_set_focus_chain(GTK_CONTAINER(overlay), chain);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_list_free(chain);
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
    std::string html(reinterpret_cast<const char*>(page.data), page.size);
    // In the user's own colours the page drops its pictures and takes the theme's.
    const std::size_t head = html.find("</head>");
    if (themeColours_ && head != std::string::npos)
        html.insert(head, "<style>body, pre { background: " + pageColours_.first +
                              " !important; color: " + pageColours_.second +
                              " !important; } img { display: none !important; } pre { "
                              "border-color: " +
                              pageColours_.second + " !important; }</style>\n");
    webkit_web_view_load_html(view_, html.c_str(), "res:/");
    gtk_widget_show_all(window_);
    for (const TemplateControl& control : kTemplateControls)
        if (!control.visible) gtk_widget_hide(controls_[control.id]);
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
        signalSources_.push_back(g_unix_signal_add(signal, OnEndRequested, this));
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
