#include "platform/window_raise.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace launcher {
namespace {

// Only the types come from the Xlib headers; every function is looked up in
// libX11.so.6 at run time.
struct XLib {
  decltype(&::XOpenDisplay) OpenDisplay = nullptr;
  decltype(&::XCloseDisplay) CloseDisplay = nullptr;
  decltype(&::XDefaultRootWindow) RootWindowOf = nullptr;
  decltype(&::XInternAtom) InternAtom = nullptr;
  decltype(&::XGetWindowProperty) GetWindowProperty = nullptr;
  decltype(&::XFree) Free = nullptr;
  decltype(&::XQueryTree) QueryTree = nullptr;
  decltype(&::XGetClassHint) GetClassHint = nullptr;
  decltype(&::XMapRaised) MapRaised = nullptr;
  decltype(&::XRaiseWindow) RaiseWindow = nullptr;
  decltype(&::XSendEvent) SendEvent = nullptr;
  decltype(&::XSync) Sync = nullptr;
  decltype(&::XSetErrorHandler) SetErrorHandler = nullptr;
};

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(::dlsym(handle, name));
  return fn != nullptr;
}

// Loaded once and kept for the life of the process; null when libX11 is
// missing or incomplete.
const XLib* LoadXLib() {
  static const XLib* const lib = []() -> const XLib* {
    void* handle = ::dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    static XLib x;
    const bool ok =
        Resolve(handle, "XOpenDisplay", x.OpenDisplay) &&
        Resolve(handle, "XCloseDisplay", x.CloseDisplay) &&
        Resolve(handle, "XDefaultRootWindow", x.RootWindowOf) &&
        Resolve(handle, "XInternAtom", x.InternAtom) &&
        Resolve(handle, "XGetWindowProperty", x.GetWindowProperty) &&
        Resolve(handle, "XFree", x.Free) && Resolve(handle, "XQueryTree", x.QueryTree) &&
        Resolve(handle, "XGetClassHint", x.GetClassHint) &&
        Resolve(handle, "XMapRaised", x.MapRaised) &&
        Resolve(handle, "XRaiseWindow", x.RaiseWindow) &&
        Resolve(handle, "XSendEvent", x.SendEvent) && Resolve(handle, "XSync", x.Sync) &&
        Resolve(handle, "XSetErrorHandler", x.SetErrorHandler);
    if (!ok) {
      ::dlclose(handle);
      return nullptr;
    }
    return &x;
  }();
  return lib;
}

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// Windows come and go while we look at them; the errors that causes (mostly
// BadWindow) must not reach Xlib's default handler, which ends the process.
class ScopedErrorHandler {
 public:
  explicit ScopedErrorHandler(const XLib& x) : x_(x), previous_(x.SetErrorHandler(IgnoreXError)) {}
  ~ScopedErrorHandler() { x_.SetErrorHandler(previous_); }
  ScopedErrorHandler(const ScopedErrorHandler&) = delete;
  ScopedErrorHandler& operator=(const ScopedErrorHandler&) = delete;

 private:
  const XLib& x_;
  XErrorHandler previous_;
};

constexpr int kMaxTreeDepth = 3;  // root, frame, (inner frame), client
constexpr long kMaxPropertyLongs = 1 << 16;

class WindowFinder {
 public:
  WindowFinder(const XLib& x, Display* display, std::string_view wmClass, std::string_view title)
      : x_(x), display_(display), wmClass_(wmClass), title_(title) {}

  Window Find(Window root) {
    for (Window w : ClientList(root)) {
      if (Matches(w)) return w;
    }
    return SearchTree(root, 0);
  }

 private:
  // Reads a property as raw items; empty when missing.
  std::vector<unsigned char> Property(Window w, Atom property, Atom type, int* format,
                                      unsigned long* items) {
    Atom actualType = None;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    *items = 0;
    if (x_.GetWindowProperty(display_, w, property, 0, kMaxPropertyLongs, False, type, &actualType,
                             format, items, &after, &data) != Success ||
        data == nullptr) {
      return {};
    }
    std::vector<unsigned char> bytes;
    if (actualType != None) {
      // Format-32 items are longs in memory, whatever their width on the wire.
      const std::size_t unit = *format == 32 ? sizeof(long) : static_cast<std::size_t>(*format / 8);
      bytes.assign(data, data + unit * *items);
    }
    x_.Free(data);
    return bytes;
  }

  std::vector<Window> ClientList(Window root) {
    int format = 0;
    unsigned long items = 0;
    Atom atom = x_.InternAtom(display_, "_NET_CLIENT_LIST", True);
    if (atom == None) return {};
    std::vector<unsigned char> bytes = Property(root, atom, XA_WINDOW, &format, &items);
    if (format != 32 || bytes.size() < items * sizeof(long)) return {};
    std::vector<Window> windows(items);
    for (unsigned long i = 0; i < items; ++i) {
      long value = 0;
      std::memcpy(&value, bytes.data() + i * sizeof(long), sizeof(long));
      windows[i] = static_cast<Window>(value);
    }
    return windows;
  }

  std::string Title(Window w) {
    int format = 0;
    unsigned long items = 0;
    Atom netName = x_.InternAtom(display_, "_NET_WM_NAME", False);
    Atom utf8 = x_.InternAtom(display_, "UTF8_STRING", False);
    std::vector<unsigned char> bytes = Property(w, netName, utf8, &format, &items);
    if (bytes.empty() || format != 8)
      bytes = Property(w, XA_WM_NAME, AnyPropertyType, &format, &items);
    if (format != 8) return {};
    return std::string(bytes.begin(), bytes.end());
  }

  bool Matches(Window w) {
    XClassHint hint{nullptr, nullptr};
    if (x_.GetClassHint(display_, w, &hint) == 0) return false;
    const bool classMatches = (hint.res_name != nullptr && wmClass_ == hint.res_name) ||
                              (hint.res_class != nullptr && wmClass_ == hint.res_class);
    if (hint.res_name != nullptr) x_.Free(hint.res_name);
    if (hint.res_class != nullptr) x_.Free(hint.res_class);
    return classMatches && (title_.empty() || Title(w) == title_);
  }

  Window SearchTree(Window parent, int depth) {
    Window rootReturn = None;
    Window parentReturn = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (x_.QueryTree(display_, parent, &rootReturn, &parentReturn, &children, &count) == 0) {
      return None;
    }
    std::vector<Window> list(children, children + count);
    if (children != nullptr) x_.Free(children);
    // Children come bottom to top; prefer the topmost match.
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
      if (Matches(*it)) return *it;
    }
    if (depth + 1 < kMaxTreeDepth) {
      for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (Window found = SearchTree(*it, depth + 1); found != None) return found;
      }
    }
    return None;
  }

  const XLib& x_;
  Display* display_;
  std::string_view wmClass_;
  std::string_view title_;
};

void Activate(const XLib& x, Display* display, Window root, Window w) {
  // Mapping shows a hidden window again and restores a minimised one.
  x.MapRaised(display, w);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = w;
  event.xclient.message_type = x.InternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // source: a pager-like tool acting for the user
  event.xclient.data.l[1] = CurrentTime;
  event.xclient.data.l[2] = 0;
  x.SendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  x.RaiseWindow(display, w);
  x.Sync(display, False);
}

}  // namespace

bool RaiseWindowByClass(std::string_view wmClass, std::string_view title) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0' || wmClass.empty()) return false;
  const XLib* x = LoadXLib();
  if (x == nullptr) return false;
  Display* display = x->OpenDisplay(name);
  if (display == nullptr) return false;
  bool raised = false;
  {
    ScopedErrorHandler errors(*x);
    const Window root = x->RootWindowOf(display);
    const Window w = WindowFinder(*x, display, wmClass, title).Find(root);
    if (w != None) {
      Activate(*x, display, root, w);
      raised = true;
    }
    x->Sync(display, False);
  }
  x->CloseDisplay(display);
  return raised;
}

}  // namespace launcher
