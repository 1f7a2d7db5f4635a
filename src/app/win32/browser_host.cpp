#include "app/win32/browser_host.h"

#include <exdisp.h>
#include <exdispid.h>
#include <mshtmhst.h>
#include <mshtml.h>
#include <ole2.h>

namespace {

// A BSTR owned for the length of one call.
struct Bstr {
    explicit Bstr(const std::wstring& text) : value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR value = nullptr;
};

template <typename T>
void ReleaseIf(T*& pointer) {
    if (pointer) pointer->Release();
    pointer = nullptr;
}

}  // namespace

// One object serves as client site, in-place site and frame, document host
// and event sink; COM finds each through QueryInterface.
struct BrowserHost::Site final : IOleClientSite, IOleInPlaceSite, IOleInPlaceFrame, IDocHostUIHandler, IDispatch {
    LONG references = 1;
    HWND parent = nullptr;
    RECT rect{};
    IOleObject* ole = nullptr;
    IWebBrowser2* browser = nullptr;
    bool documentComplete = false;
    std::function<void()> onDocumentComplete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *out = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *out = static_cast<IOleInPlaceSite*>(this);
        else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
            *out = static_cast<IOleInPlaceFrame*>(this);
        else if (riid == IID_IDocHostUIHandler)
            *out = static_cast<IDocHostUIHandler*>(this);
        else if (riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2)
            *out = static_cast<IDispatch*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        *window = parent;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                               LPRECT position, LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
        *frame = this;
        AddRef();
        *document = nullptr;
        *position = rect;
        *clip = rect;
        info->fMDIApp = FALSE;
        info->hwndFrame = parent;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceUIWindow, IOleInPlaceFrame
    HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

    // IDocHostUIHandler: the page is the dialog's face, without border,
    // scroll bars or context menu.
    HRESULT STDMETHODCALLTYPE ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetHostInfo(DOCHOSTUIINFO* info) override {
        info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO | DOCHOSTUIFLAG_DIALOG;
        info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                                     IOleInPlaceUIWindow*) override {
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE HideUI() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UpdateUI() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE GetOptionKeyPath(LPOLESTR* key, DWORD) override {
        *key = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDropTarget(IDropTarget*, IDropTarget** target) override {
        *target = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetExternal(IDispatch** external) override {
        *external = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE TranslateUrl(DWORD, LPWSTR, LPWSTR* translated) override {
        *translated = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE FilterDataObject(IDataObject*, IDataObject** filtered) override {
        *filtered = nullptr;
        return S_FALSE;
    }

    // IDispatch: DWebBrowserEvents2
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id == DISPID_DOCUMENTCOMPLETE) {
            documentComplete = true;
            if (onDocumentComplete) onDocumentComplete();
        }
        // DISPID_NAVIGATEERROR: the page stays unavailable; the window works without it.
        return S_OK;
    }

    IHTMLElement* Element(const std::wstring& id) {
        if (!documentComplete || !browser) return nullptr;
        IDispatch* document = nullptr;
        IHTMLDocument3* document3 = nullptr;
        IHTMLElement* element = nullptr;
        if (SUCCEEDED(browser->get_Document(&document)) && document &&
            SUCCEEDED(document->QueryInterface(IID_IHTMLDocument3, reinterpret_cast<void**>(&document3)))) {
            Bstr name(id);
            document3->getElementById(name.value, &element);
        }
        ReleaseIf(document3);
        ReleaseIf(document);
        return element;
    }
};

bool BrowserHost::Create(HWND parent, const RECT& rect, std::function<void()> onDocumentComplete) {
    site_ = new Site;
    site_->parent = parent;
    site_->rect = rect;
    site_->onDocumentComplete = std::move(onDocumentComplete);
    if (FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                reinterpret_cast<void**>(&site_->ole))))
        return false;
    site_->ole->SetClientSite(site_);
    site_->ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0, parent, &rect);
    if (FAILED(site_->ole->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&site_->browser)))) return false;

    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    if (SUCCEEDED(
            site_->browser->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) &&
        SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point)))
        point->Advise(static_cast<IDispatch*>(site_), &cookie);
    ReleaseIf(point);
    ReleaseIf(container);
    return true;
}

void BrowserHost::Navigate(const std::wstring& url) {
    if (!site_ || !site_->browser) return;
    Bstr target(url);
    VARIANT empty;
    VariantInit(&empty);
    site_->browser->Navigate(target.value, &empty, &empty, &empty, &empty);
}

HWND BrowserHost::Window() const {
    HWND window = nullptr;
    IOleInPlaceObject* inPlace = nullptr;
    if (site_ && site_->ole &&
        SUCCEEDED(site_->ole->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
        inPlace->GetWindow(&window);
        inPlace->Release();
    }
    return window;
}

bool BrowserHost::GetElementProperty(const std::wstring& id, const std::wstring& name, std::wstring& value) {
    IHTMLElement* element = site_ ? site_->Element(id) : nullptr;
    if (!element) return false;
    bool read = false;
    if (name == L"innerHTML") {
        Bstr html;
        read = SUCCEEDED(element->get_innerHTML(&html.value));
        if (read) value.assign(html.value ? html.value : L"");
    } else {
        Bstr attribute(name);
        VARIANT result;
        VariantInit(&result);
        read = SUCCEEDED(element->getAttribute(attribute.value, 0, &result)) &&
               SUCCEEDED(VariantChangeType(&result, &result, 0, VT_BSTR));
        if (read) value.assign(result.bstrVal ? result.bstrVal : L"");
        VariantClear(&result);
    }
    element->Release();
    return read;
}

bool BrowserHost::SetElementProperty(const std::wstring& id, const std::wstring& name, const std::wstring& value) {
    IHTMLElement* element = site_ ? site_->Element(id) : nullptr;
    if (!element) return false;
    bool written = false;
    if (name == L"innerHTML") {
        Bstr html(value);
        written = SUCCEEDED(element->put_innerHTML(html.value));
    } else {
        Bstr attribute(name);
        VARIANT text;
        VariantInit(&text);
        text.vt = VT_BSTR;
        text.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
        written = SUCCEEDED(element->setAttribute(attribute.value, text, 1));
        VariantClear(&text);
    }
    element->Release();
    return written;
}
