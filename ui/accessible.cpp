// The window to screen readers (Active Accessibility): one IAccessible for
// the client area, whose children are the self-drawn controls, the bars and
// the two text lines as plain child ids (no objects of their own). What each
// child is comes from accessible_child_in; this file only speaks COM and
// announces changes.
//
// Threads: the object lives in the window thread's apartment; readers in
// other processes or threads reach it through COM's marshalling, which runs
// every call on that thread, so it reads the window state as painting does.
// A reader may hold the object after the window has gone: it is then cut
// off from the window and answers every call with RPC_E_DISCONNECTED.
//
// Announcements: accessible_refresh compares what readers would be told
// now with what they were last told. Focus, state and names go out at once;
// the status and detail lines and the bars change many times a second during
// a pass, so those go out paced as the window's own progress posts are, and
// a timer brings the last change of a burst.
#include "ui/window_internal.h"

#include <oleacc.h>

#include <new>

namespace {

MainWindowState *const s = &g_main_window;

bool window_focused(HWND window)
{
    return GetFocus() == window;
}

// A child id from a VARIANT: CHILDID_SELF (0), 1..ACC_CHILD_COUNT, or -1.
int child_of(const VARIANT &v)
{
    if (v.vt != VT_I4)
        return -1;
    return v.lVal >= CHILDID_SELF && v.lVal <= ACC_CHILD_COUNT ? (int)v.lVal : -1;
}

void as_child(VARIANT *v, int child)
{
    VariantInit(v);
    v->vt = VT_I4;
    v->lVal = child;
}

HRESULT text_out(BSTR *out, const wchar_t *text)
{
    *out = nullptr;
    if (!text || !text[0])
        return S_FALSE;
    *out = SysAllocString(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

// The child's rectangle in screen pixels.
bool child_screen_rect(HWND window, int child, RECT *out)
{
    if (child == CHILDID_SELF) {
        if (!GetClientRect(window, out))
            return false;
    } else {
        UiRect r;
        if (!accessible_child_rect(child, &r))
            return false;
        UiRect scaled = scale_rect(&r, s->dpi);
        *out = {scaled.left, scaled.top, scaled.right, scaled.bottom};
    }
    MapWindowPoints(window, nullptr, (POINT *)out, 2);
    return true;
}

class WindowAccessible final : public IAccessible {
public:
    explicit WindowAccessible(HWND window) : window_(window) {}

    void disconnect() { window_ = nullptr; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IAccessible) {
            *out = static_cast<IAccessible *>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0)
            delete this;
        return (ULONG)n;
    }

    // IDispatch: readers use the vtable; no type information is offered.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *n) override
    {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **info) override
    {
        *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *,
                                     EXCEPINFO *, UINT *) override
    {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch **parent) override
    {
        *parent = nullptr;
        if (!window_)
            return RPC_E_DISCONNECTED;
        return AccessibleObjectFromWindow(window_, (DWORD)OBJID_WINDOW, IID_IDispatch,
                                          (void **)parent);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long *count) override
    {
        *count = 0;
        if (!window_)
            return RPC_E_DISCONNECTED;
        *count = ACC_CHILD_COUNT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch **out) override
    {
        *out = nullptr;
        if (!window_)
            return RPC_E_DISCONNECTED;
        // Simple elements: the reader asks this object about them by id.
        return child_of(child) > CHILDID_SELF ? S_FALSE : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR *name) override
    {
        *name = nullptr;
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        if (child.lVal == CHILDID_SELF) {
            wchar_t title[128];
            GetWindowTextW(window_, title, 128);
            return text_out(name, title);
        }
        return text_out(name, c.name);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR *value) override
    {
        *value = nullptr;
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        return child.lVal == CHILDID_SELF ? S_FALSE : text_out(value, c.value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR *text) override
    {
        *text = nullptr;
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        return hr == S_OK ? S_FALSE : hr;
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT *role) override
    {
        VariantInit(role);
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        as_child(role, child.lVal == CHILDID_SELF ? ROLE_SYSTEM_CLIENT : c.role);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT *state) override
    {
        VariantInit(state);
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        long bits = (long)c.state;
        if (child.lVal == CHILDID_SELF)
            bits = STATE_SYSTEM_FOCUSABLE | (window_focused(window_) ? STATE_SYSTEM_FOCUSED : 0);
        as_child(state, bits);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR *text) override
    {
        return get_accDescription(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR *file, VARIANT, long *topic) override
    {
        *file = nullptr;
        *topic = 0;
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR *text) override
    {
        return get_accDescription(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT *focus) override
    {
        VariantInit(focus);
        if (!window_)
            return RPC_E_DISCONNECTED;
        if (!window_focused(window_))
            return S_FALSE;
        as_child(focus, s->focus_control != None ? s->focus_control : CHILDID_SELF);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT *selection) override
    {
        VariantInit(selection);
        return window_ ? S_FALSE : RPC_E_DISCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR *action) override
    {
        *action = nullptr;
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        return child.lVal == CHILDID_SELF ? S_FALSE : text_out(action, c.action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override
    {
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        if (flags != SELFLAG_TAKEFOCUS)
            return DISP_E_MEMBERNOTFOUND;
        int id = (int)child.lVal;
        if (id != CHILDID_SELF && (!control_in_focus_order(id) || (c.state & STATE_SYSTEM_UNAVAILABLE)))
            return S_FALSE;
        SetFocus(window_);
        if (id != CHILDID_SELF)
            s->focus_control = id;
        repaint();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accLocation(long *x, long *y, long *w, long *h, VARIANT child) override
    {
        *x = *y = *w = *h = 0;
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        RECT r;
        if (!child_screen_rect(window_, (int)child.lVal, &r))
            return E_FAIL;
        *x = r.left;
        *y = r.top;
        *w = r.right - r.left;
        *h = r.bottom - r.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT *end) override
    {
        VariantInit(end);
        AccessibleChild c;
        HRESULT hr = view(start, &c);
        if (hr != S_OK)
            return hr;
        int from = (int)start.lVal, to = 0;
        switch (direction) {
        case NAVDIR_FIRSTCHILD:
            to = from == CHILDID_SELF ? 1 : 0;
            break;
        case NAVDIR_LASTCHILD:
            to = from == CHILDID_SELF ? ACC_CHILD_COUNT : 0;
            break;
        case NAVDIR_NEXT:
            to = from != CHILDID_SELF && from < ACC_CHILD_COUNT ? from + 1 : 0;
            break;
        case NAVDIR_PREVIOUS:
            to = from > 1 ? from - 1 : 0;
            break;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
        if (!to)
            return S_FALSE;
        as_child(end, to);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT *hit) override
    {
        VariantInit(hit);
        if (!window_)
            return RPC_E_DISCONNECTED;
        POINT p = {x, y};
        RECT client;
        ScreenToClient(window_, &p);
        GetClientRect(window_, &client);
        if (!PtInRect(&client, p))
            return S_FALSE;
        int id = hit_test_control(p.x, p.y);
        for (int child = ACC_STATUS_LINE; id == None && child <= ACC_DETAIL_LINE; child++) {
            RECT r;
            POINT screen = {x, y};
            if (child_screen_rect(window_, child, &r) && PtInRect(&r, screen))
                id = child;
        }
        as_child(hit, id == None ? CHILDID_SELF : id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override
    {
        AccessibleChild c;
        HRESULT hr = view(child, &c);
        if (hr != S_OK)
            return hr;
        if (child.lVal == CHILDID_SELF || !c.action)
            return DISP_E_MEMBERNOTFOUND;
        // Through the queue: the reader's call returns before the command runs
        // (a game start may open a box), and the command path checks
        // enablement as for a click.
        return PostMessageW(window_, WM_COMMAND, ACCESSIBLE_PRESS_COMMAND + child.lVal, 0)
                   ? S_OK
                   : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    // The child as readers see it now; S_OK, E_INVALIDARG for an unknown id,
    // RPC_E_DISCONNECTED once the window has gone.
    HRESULT view(const VARIANT &child, AccessibleChild *out)
    {
        if (!window_)
            return RPC_E_DISCONNECTED;
        int id = child_of(child);
        if (id < 0)
            return E_INVALIDARG;
        if (id == CHILDID_SELF) {
            out->name[0] = out->value[0] = 0;
            out->action = nullptr;
            out->state = 0;
            out->role = ROLE_SYSTEM_CLIENT;
            return S_OK;
        }
        ControlSituation now = control_situation(id == Start);
        accessible_child_in(s, &now, id, window_focused(window_), out);
        return S_OK;
    }

    HWND window_;
    volatile LONG refs_ = 1;
};

WindowAccessible *g_object;

// What readers were last told, per child; `told` is 0 before the first look.
struct Told {
    int told;
    int focus;  // child id of the focus, or -1 when the window has none
    AccessibleChild child[ACC_CHILD_COUNT + 1];
    Throttle pace[ACC_CHILD_COUNT + 1];
};
Told g_told;

bool paced(int child)
{
    return child >= ACC_STATUS_LINE;
}

PaceInterval pace_of(int child)
{
    return child == ACC_FILE_BAR || child == ACC_TOTAL_BAR ? PACE_BAR_MS : PACE_TEXT_MS;
}

void notify(DWORD event, int child)
{
    NotifyWinEvent(event, (HWND)s->window, OBJID_CLIENT, child);
}

}  // namespace

LRESULT accessible_answer(HWND window, WPARAM wparam, LPARAM lparam)
{
    if ((LONG)lparam != OBJID_CLIENT)
        return 0;
    if (!g_object)
        g_object = new (std::nothrow) WindowAccessible(window);
    if (!g_object)
        return 0;
    // A failed answer is a negative HRESULT, which readers take as failure.
    return LresultFromObject(IID_IAccessible, wparam, g_object);
}

void accessible_refresh(void)
{
    HWND window = (HWND)s->window;
    if (!window)
        return;
    uint32_t now_tick = GetTickCount();
    bool focused = window_focused(window);
    ControlSituation now = control_situation(1);
    bool first = !g_told.told;
    uint32_t wait_ms = 0;
    for (int child = 1; child <= ACC_CHILD_COUNT; child++) {
        AccessibleChild c;
        accessible_child_in(s, &now, child, focused, &c);
        AccessibleChild *was = &g_told.child[child];
        bool state = c.state != was->state;
        bool name = lstrcmpW(c.name, was->name) != 0;
        bool value = lstrcmpW(c.value, was->value) != 0;
        if (!first && (state || name || value)) {
            if (paced(child) && !throttle_due(&g_told.pace[child], pace_of(child), now_tick)) {
                uint32_t w = throttle_wait_ms(&g_told.pace[child], pace_of(child), now_tick);
                if (!wait_ms || w < wait_ms)
                    wait_ms = w ? w : 1;
                continue;  // told later, with whatever it holds then
            }
            if (state)
                notify(EVENT_OBJECT_STATECHANGE, child);
            if (name)
                notify(EVENT_OBJECT_NAMECHANGE, child);
            if (value)
                notify(EVENT_OBJECT_VALUECHANGE, child);
        }
        *was = c;
    }
    int focus = focused ? (s->focus_control != None ? s->focus_control : CHILDID_SELF) : -1;
    if (!first && focus >= 0 && focus != g_told.focus)
        notify(EVENT_OBJECT_FOCUS, focus);
    g_told.focus = focus;
    g_told.told = 1;
    if (wait_ms)
        SetTimer(window, ACCESSIBLE_TIMER_ID, wait_ms, nullptr);
}

void accessible_timer(void)
{
    if (s->window)
        KillTimer((HWND)s->window, ACCESSIBLE_TIMER_ID);
    accessible_refresh();
}

void accessible_release(void)
{
    if (s->window)
        KillTimer((HWND)s->window, ACCESSIBLE_TIMER_ID);
    ZeroMemory(&g_told, sizeof g_told);
    if (g_object) {
        g_object->disconnect();
        g_object->Release();
        g_object = nullptr;
    }
}
