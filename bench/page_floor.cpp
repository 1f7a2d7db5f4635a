// The floor for the time to a painted page: the smallest WebKitGTK window of
// the installer's size showing the same page from the same compiled-in
// resources, and nothing else.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

#include "app/resources.h"

namespace {

void ServeImage(WebKitURISchemeRequest* request, gpointer) {
    std::string name = webkit_uri_scheme_request_get_uri(request);  // res:/IMG/#666
    name = name.substr(name.find(':') + 1);
    name.erase(0, name.find_first_not_of('/'));
    name.erase(name.find('#'), 1);
    const Resource resource = FindResource(name.c_str());
    GInputStream* stream = g_memory_input_stream_new_from_data(resource.data, resource.size, nullptr);
    webkit_uri_scheme_request_finish(request, stream, resource.size, "image/png");
    g_object_unref(stream);
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context, "res", ServeImage, nullptr, nullptr);
    GtkWidget* view = webkit_web_view_new_with_context(context);
    gtk_widget_set_size_request(view, 468, 361);
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    const Resource page = FindResource("104");
    const std::string html(reinterpret_cast<const char*>(page.data), page.size);
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), html.c_str(), "res:/");
    gtk_main();
    return 0;
}
