// The framework's own plumbing: run-time classes, subclassing and the
// dispatch table.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/tests/window_test_util.h"
#include "framework/button.h"
#include "framework/dialog.h"
#include "framework/dispatch.h"
#include "framework/static_control.h"
#include "skin/ex_button.h"
#include "skin/nc_ex_button.h"
#include "skin/title_label.h"

TEST(RuntimeClass, IsKindOfFollowsTheDeclaredBases) {
    CExButton ex;
    NCExButton nc;
    CTitleLabel label;
    EXPECT_STREQ(ex.GetRuntimeClass()->m_lpszClassName, "CExButton");
    EXPECT_STREQ(nc.GetRuntimeClass()->m_lpszClassName, "NCExButton");
    EXPECT_EQ(ex.GetRuntimeClass()->m_wSchema, 0xFFFFu);
    EXPECT_EQ(ex.GetRuntimeClass()->m_pfnCreateObject, nullptr);
    EXPECT_EQ(ex.GetRuntimeClass()->m_pBaseClass, RUNTIME_CLASS(CButton));
    EXPECT_TRUE(ex.IsKindOf(RUNTIME_CLASS(CExButton)));
    EXPECT_TRUE(ex.IsKindOf(RUNTIME_CLASS(CButton)));
    EXPECT_TRUE(ex.IsKindOf(RUNTIME_CLASS(CWnd)));
    EXPECT_TRUE(ex.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(ex.IsKindOf(RUNTIME_CLASS(NCExButton)));
    EXPECT_FALSE(nc.IsKindOf(RUNTIME_CLASS(CExButton)));
    EXPECT_FALSE(ex.IsKindOf(RUNTIME_CLASS(CStatic)));
    // The title label has no run-time class of its own: it reports CStatic's.
    EXPECT_EQ(label.GetRuntimeClass(), RUNTIME_CLASS(CStatic));
    EXPECT_FALSE(ex.IsKindOf(nullptr));
}

namespace {

// Counts clicks and swallows WM_USER + 1, with its own dispatch table.
class Counter : public CWnd {
public:
    int users = 0;
    LRESULT OnUser(WPARAM wp, LPARAM) {
        users += int(wp);
        return 42;
    }

protected:
    BOOL OnWndMsg(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override {
        return DispatchFromTable(this, kTable, msg, wp, lp, result) ||
               CWnd::OnWndMsg(msg, wp, lp, result);
    }
    static const DispatchEntry<Counter> kTable[];
};
const DispatchEntry<Counter> Counter::kTable[] = {
    {WM_USER + 1, &Counter::OnUser},
    {},
};

}  // namespace

TEST(Subclassing, MessagesReachTheObjectThenTheWindowAndTheProcedureComesBack) {
    wtest::HostWindow host(100, 100);
    HWND edit = host.AddChild("EDIT", "text", 5, WS_VISIBLE, 0, 0, 50, 20);
    ASSERT_NE(edit, nullptr);
    const LONG_PTR original = ::GetWindowLongPtrA(edit, GWLP_WNDPROC);
    {
        Counter counter;
        ASSERT_TRUE(counter.SubclassDlgItem(5, &host));
        EXPECT_EQ(CWnd::FromHandlePermanent(edit), &counter);
        // Bound once: a second object cannot take the same window.
        Counter other;
        EXPECT_FALSE(other.SubclassWindow(edit));
        EXPECT_EQ(::SendMessageA(edit, WM_USER + 1, 3, 0), 42);
        EXPECT_EQ(counter.users, 3);
        // Everything else goes on to the edit control itself.
        EXPECT_EQ(wtest::WindowText(edit), "text");
        ::SetWindowTextA(edit, "changed");
        EXPECT_EQ(wtest::WindowText(edit), "changed");
    }
    // The object is gone: the edit control has its own procedure back.
    EXPECT_EQ(::GetWindowLongPtrA(edit, GWLP_WNDPROC), original);
    EXPECT_EQ(CWnd::FromHandlePermanent(edit), nullptr);
    EXPECT_EQ(::SendMessageA(edit, WM_USER + 1, 3, 0), 0);
}

TEST(Subclassing, AWindowDestroyedUnderItsObjectLeavesTheObjectUnbound) {
    wtest::HostWindow host(100, 100);
    HWND button = host.AddChild("BUTTON", "b", 7, WS_VISIBLE, 0, 0, 50, 20);
    CButton wrapper;
    ASSERT_TRUE(wrapper.SubclassDlgItem(7, &host));
    ::DestroyWindow(button);
    EXPECT_EQ(wrapper.m_hWnd, nullptr);
    // A missing control cannot be bound.
    EXPECT_FALSE(wrapper.SubclassDlgItem(99, &host));
}
