#include "patcher_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

namespace fake_patcher {

struct PatcherWindow::State {
  Display* display = nullptr;
  Window window = 0;
  Atom deleteWindow = 0;
  std::string title;
};

std::unique_ptr<PatcherWindow> PatcherWindow::Show(const std::string& title) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  auto state = std::make_unique<State>();
  state->display = display;
  state->title = title;
  const int screen = DefaultScreen(display);
  state->window = XCreateSimpleWindow(display, RootWindow(display, screen), 40, 40, 280, 90, 1,
                                      BlackPixel(display, screen), WhitePixel(display, screen));

  std::string instance = "patcher";
  std::string cls = "QuillmerePatcherClass";
  XClassHint hint{instance.data(), cls.data()};
  XSetClassHint(display, state->window, &hint);
  XStoreName(display, state->window, title.c_str());
  XChangeProperty(display, state->window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()),
                  static_cast<int>(title.size()));
  state->deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, state->window, &state->deleteWindow, 1);
  XSelectInput(display, state->window, ExposureMask | StructureNotifyMask);
  XMapWindow(display, state->window);
  // Without a window manager the window is mapped once the server has
  // handled the request; callers (tests) rely on that after Show returns.
  XSync(display, False);
  return std::unique_ptr<PatcherWindow>(new PatcherWindow(std::move(state)));
}

PatcherWindow::PatcherWindow(std::unique_ptr<State> state) : state_(std::move(state)) {}

PatcherWindow::~PatcherWindow() {
  XDestroyWindow(state_->display, state_->window);
  XCloseDisplay(state_->display);
}

int PatcherWindow::ConnectionFd() const { return ConnectionNumber(state_->display); }

bool PatcherWindow::HandleEvents() {
  Display* display = state_->display;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == Expose && event.xexpose.count == 0) {
      GC gc = DefaultGC(display, DefaultScreen(display));
      const std::string text = state_->title + " (stand-in)";
      XDrawString(display, state_->window, gc, 16, 48, text.c_str(), static_cast<int>(text.size()));
    } else if (event.type == ClientMessage &&
               static_cast<Atom>(event.xclient.data.l[0]) == state_->deleteWindow) {
      return false;
    }
  }
  XFlush(display);
  return true;
}

}  // namespace fake_patcher
