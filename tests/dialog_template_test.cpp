// The dialog template the resource compiler built (template 102 of this
// program) against the table the hosts lay out from: they cannot drift.
#include "app/dialog_template.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "app/win32/win32_colours.h"
#include "platform/win32_text.h"

namespace {

// Reads a DLGTEMPLATEEX in order; strings and ordinals as the format has them.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : at_(data) {}
    template <typename T>
    T Read() {
        T value;
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }
    std::wstring String() {  // sz_Or_Ord: an ordinal comes back as "#n"
        if (Peek() == 0xFFFF) {
            Read<WORD>();
            return L"#" + std::to_wstring(Read<WORD>());
        }
        std::wstring text;
        for (WORD c = Read<WORD>(); c != 0; c = Read<WORD>()) text += static_cast<wchar_t>(c);
        return text;
    }
    void AlignToDword() {
        while (reinterpret_cast<std::uintptr_t>(at_) % 4) ++at_;
    }
    void Skip(std::size_t bytes) { at_ += bytes; }

private:
    WORD Peek() const {
        WORD value;
        std::memcpy(&value, at_, sizeof value);
        return value;
    }
    const BYTE* at_;
};

}  // namespace

TEST(DialogTemplate, CompiledTemplateMatchesTheTable) {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_INSTALLER), MAKEINTRESOURCEW(5));  // RT_DIALOG
    ASSERT_NE(resource, nullptr);
    TemplateReader in(static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource))));
    ASSERT_EQ(in.Read<WORD>(), 1);       // dlgVer
    ASSERT_EQ(in.Read<WORD>(), 0xFFFF);  // an extended template
    in.Read<DWORD>();                    // helpID
    EXPECT_EQ(in.Read<DWORD>(), static_cast<DWORD>(WS_EX_APPWINDOW));
    EXPECT_EQ(in.Read<DWORD>(), 0x90CA00C8u);
    const WORD items = in.Read<WORD>();
    in.Read<short>();
    in.Read<short>();
    EXPECT_EQ(in.Read<short>(), kDialogUnits.width);
    EXPECT_EQ(in.Read<short>(), kDialogUnits.height);
    EXPECT_EQ(in.String(), L"");  // no menu
    EXPECT_EQ(in.String(), L"");  // the dialog class
    EXPECT_EQ(platform::Utf8(in.String()), kDialogCaption);
    EXPECT_EQ(in.Read<WORD>(), 8);  // points
    in.Read<WORD>();
    in.Read<BYTE>();
    in.Read<BYTE>();
    EXPECT_EQ(in.String(), L"MS Shell Dlg");

    ASSERT_EQ(items, std::size(kTemplateControls));
    for (const TemplateControl& control : kTemplateControls) {
        SCOPED_TRACE(control.id);
        in.AlignToDword();
        in.Read<DWORD>();                 // helpID
        EXPECT_EQ(in.Read<DWORD>(), 0u);  // no control has an extended style
        const DWORD style = in.Read<DWORD>();
        EXPECT_EQ((style & WS_VISIBLE) != 0, control.visible);
        EXPECT_EQ(in.Read<short>(), control.x);
        EXPECT_EQ(in.Read<short>(), control.y);
        EXPECT_EQ(in.Read<short>(), control.width);
        EXPECT_EQ(in.Read<short>(), control.height);
        EXPECT_EQ(in.Read<DWORD>(), static_cast<DWORD>(control.id));
        in.String();  // the class
        EXPECT_EQ(platform::Utf8(in.String()), control.text);
        in.Skip(in.Read<WORD>());  // creation data
    }
}

// With high contrast on, the texts over the page take the system's colours
// (Wine always reports it off, so the choice is checked here, not on screen).
TEST(DialogColours, HighContrastTakesTheSystemsColoursAndTheDefaultLookStays) {
    const COLORREF window = RGB(0, 0, 0), text = RGB(255, 255, 255), link = RGB(255, 255, 0);
    for (const TemplateControl& control : kTemplateControls) {
        if (control.id == IDC_PROGRESS || control.id == IDC_INSTALL) continue;
        SCOPED_TRACE(control.id);
        const bool isLink = control.id != IDC_ACCEPT;
        const StaticColours contrast = ColoursOf(control.id, true, window, text, link);
        EXPECT_EQ(contrast.text, isLink ? link : text);
        EXPECT_EQ(contrast.background, window);
        EXPECT_EQ(contrast.systemBrush, COLOR_WINDOW);
        const StaticColours plain = ColoursOf(control.id, false, window, text, link);
        EXPECT_EQ(plain.text, isLink ? RGB(13, 112, 171) : RGB(0, 0, 0));
        EXPECT_EQ(plain.background,
                  control.id == IDC_ACCEPT || control.id == IDC_LICENCE_LINK ? RGB(241, 244, 249) : RGB(255, 255, 255));
        EXPECT_EQ(plain.systemBrush, -1);
    }
}
