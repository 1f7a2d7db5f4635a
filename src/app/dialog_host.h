// What the window's logic needs from a platform: native controls by id, page
// elements by id, timers, threads, a message box and the dialog's end. One
// implementation per platform (gtk/, win32/), and a fake one in the tests.
#pragma once

#include <functional>
#include <string>

#include "app/dialog_template.h"  // the controls' ids
#include "platform/platform.h"

class DialogHost {
public:
    // Native controls. Texts are UTF-8.
    virtual void ShowControl(int id, bool show) = 0;
    virtual bool IsControlVisible(int id) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsChecked(int id) = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void RedrawControl(int id) = 0;
    virtual void SetProgressPosition(int position) = 0;  // range 0..100
    virtual int ProgressPosition() = 0;
    // For the keyboard and assistive technology: the focus moves to a shown
    // control; the name a screen reader gives a control, spoken when it
    // changes on the focused one (the progress bar says the status this way).
    virtual void FocusControl(int id) = 0;
    virtual void SetAccessibleName(int id, const std::string& name) = 0;

    // Page elements: a property such as innerHTML, or an attribute such as
    // height. false when the element cannot be obtained (also before the
    // page has loaded).
    virtual bool GetElementProperty(const std::string& elementId, const std::string& name, std::string& value) = 0;
    virtual bool SetElementProperty(const std::string& elementId, const std::string& name,
                                    const std::string& value) = 0;

    // Where background threads post their messages.
    virtual WindowHandle Window() = 0;
    // When a timer fires, WM_CONNECT_TIMER with its id is posted to Window().
    virtual void SetTimer(unsigned id, unsigned milliseconds) = 0;
    virtual void KillTimer(unsigned id) = 0;
    // A background thread that is never joined; false when none could be started.
    virtual bool StartThread(std::function<void()> body) = 0;

    // Modal; an OK button and a warning icon, captioned with the program's name.
    virtual void ShowMessageBox(const std::string& text) = 0;
    virtual void HideWindow() = 0;
    virtual void EndDialog(int result) = 0;
    // Lets milliseconds pass while the window keeps painting; no input and no
    // posted message reaches the logic meanwhile.
    virtual void WaitPainting(unsigned milliseconds) = 0;

protected:
    ~DialogHost() = default;
};
