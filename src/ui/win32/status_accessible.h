// The launcher window as screen readers see it, through Microsoft Active
// Accessibility: the window's client object (answered to WM_GETOBJECT) has
// four simple children, in the window's order from top to bottom:
//
//   1  the upper bar   progress bar; name: the upper line's text; value "50%"
//   2  the lower bar   progress bar; name: the lower line's text; value "99%"
//   3  the upper line  static text; name: its text as drawn
//   4  the lower line  static text; name: its text as drawn
//
// "As drawn" means without the ampersands that only mark an underline ("&&"
// reads as one ampersand). A bar takes its line's text as its name because
// the program has no texts of its own (they all come from the string table)
// and the line says what the bar measures. Windows' UI Automation clients
// (Narrator) read the same object through the system's MSAA bridge.
//
// Threads: created, called and disconnected on the window thread, which is
// a single-threaded COM apartment; other processes reach it through COM's
// marshalling, which delivers their calls through that thread's message
// loop. Lifetime: reference counted; clients may keep it after the window
// has gone, so the window calls Disconnect when it goes, after which every
// call fails with CO_E_OBJNOTCONNECTED.
#pragma once

#include <windows.h>
// After windows.h.
#include <oleacc.h>

#include <atomic>
#include <functional>

#include "ui/status_state.h"

namespace launcher::win32 {

// COM interfaces have no virtual destructor: Release deletes the object.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class StatusAccessible final : public IAccessible {
 public:
  enum Child : LONG {
    kTotalBarChild = 1,
    kFileBarChild = 2,
    kStatusLineChild = 3,
    kDetailLineChild = 4,
  };

  // What the object reads from the window, on the window thread: the values
  // shown and the window's pixel density.
  struct Source {
    std::function<StatusState::Values()> values;
    std::function<int()> dpi;
  };

  // The client object of `hwnd`, with one reference for the caller.
  static StatusAccessible* Create(HWND hwnd, Source source);

  // The answer to WM_GETOBJECT for OBJID_CLIENT.
  LRESULT Answer(WPARAM wParam);
  // The window is going: drops the window and every client's connection.
  void Disconnect();

  // Tells clients (NotifyWinEvent) what changed between `before` and
  // `after`: a new text changes the name of its line and of its bar, a new
  // percentage the value of its bar.
  static void AnnounceChanges(HWND hwnd, const StatusState::Values& before,
                              const StatusState::Values& after);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch: no type information; clients use the vtable.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override;
  // IAccessible
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override;
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override;
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override;
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override;
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override;
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override;
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override;
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override;
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override;
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override;
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override;
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override;
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override;
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override;
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                        VARIANT child) override;
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override;
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override;
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override;
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override;
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override;

 private:
  StatusAccessible(HWND hwnd, Source source, IAccessible* standard);
  ~StatusAccessible();

  std::atomic<ULONG> references_{1};
  HWND hwnd_;
  Source source_;
  // The system's object for the window's client area: parent, focus,
  // selection and the object's own place and state come from it.
  IAccessible* standard_;
};
#pragma GCC diagnostic pop

}  // namespace launcher::win32
