#include "platform/window_raise.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
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
  decltype(&::XCreateSimpleWindow) CreateSimpleWindow = nullptr;
  decltype(&::XSelectInput) SelectInput = nullptr;
  decltype(&::XChangeProperty) ChangeProperty = nullptr;
  decltype(&::XCheckWindowEvent) CheckWindowEvent = nullptr;
  decltype(&::XDestroyWindow) DestroyWindow = nullptr;
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
        Resolve(handle, "XSetErrorHandler", x.SetErrorHandler) &&
        Resolve(handle, "XCreateSimpleWindow", x.CreateSimpleWindow) &&
        Resolve(handle, "XSelectInput", x.SelectInput) &&
        Resolve(handle, "XChangeProperty", x.ChangeProperty) &&
        Resolve(handle, "XCheckWindowEvent", x.CheckWindowEvent) &&
        Resolve(handle, "XDestroyWindow", x.DestroyWindow);
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

// One connection to $DISPLAY with the error handler that ignores errors;
// closed when it goes away. Check ok() first.
class Connection {
 public:
  Connection() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return;
    x_ = LoadXLib();
    if (x_ == nullptr) return;
    display_ = x_->OpenDisplay(name);
    if (display_ != nullptr) errors_.emplace(*x_);
  }
  ~Connection() {
    if (display_ == nullptr) return;
    x_->Sync(display_, False);
    errors_.reset();
    x_->CloseDisplay(display_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ok() const { return display_ != nullptr; }
  const XLib& x() const { return *x_; }
  Display* display() const { return display_; }
  Window root() const { return x_->RootWindowOf(display_); }

 private:
  const XLib* x_ = nullptr;
  Display* display_ = nullptr;
  std::optional<ScopedErrorHandler> errors_;
};

// The server's time, from the PropertyNotify that a zero-length append to a
// property of a fresh, never mapped window provokes. 0 when none arrives
// within a second.
Time ServerTime(const Connection& c) {
  const XLib& x = c.x();
  Display* display = c.display();
  const Window probe = x.CreateSimpleWindow(display, c.root(), 0, 0, 1, 1, 0, 0, 0);
  if (probe == None) return CurrentTime;
  x.SelectInput(display, probe, PropertyChangeMask);
  const Atom atom = x.InternAtom(display, "_QUILLMERE_TIME_PROBE", False);
  unsigned char nothing = 0;
  x.ChangeProperty(display, probe, atom, XA_STRING, 8, PropModeAppend, &nothing, 0);
  x.Sync(display, False);
  Time time = CurrentTime;
  XEvent event{};
  for (int i = 0; i < 200; ++i) {
    if (x.CheckWindowEvent(display, probe, PropertyChangeMask, &event) != 0) {
      time = event.xproperty.time;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  x.DestroyWindow(display, probe);
  return time;
}

// Asks the window manager to activate `w` as on the user's request (source
// indication 2, the user's time stamp), then raises it, which is all a bare
// X server offers. Window managers treat a request with time 0 like one from
// the application itself, which focus-stealing prevention may refuse, so a
// missing time stamp is replaced by the server's time now.
void RequestActivation(const Connection& c, Window w, Time userTime) {
  const XLib& x = c.x();
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = w;
  event.xclient.message_type = x.InternAtom(c.display(), "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // source: a pager-like tool acting for the user
  event.xclient.data.l[1] = static_cast<long>(userTime != CurrentTime ? userTime : ServerTime(c));
  event.xclient.data.l[2] = 0;
  x.SendEvent(c.display(), c.root(), False, SubstructureRedirectMask | SubstructureNotifyMask,
              &event);
  x.RaiseWindow(c.display(), w);
  x.Sync(c.display(), False);
}

}  // namespace

bool RaiseWindowByClass(std::string_view wmClass, std::string_view title) {
  if (wmClass.empty()) return false;
  Connection c;
  if (!c.ok()) return false;
  const Window w = WindowFinder(c.x(), c.display(), wmClass, title).Find(c.root());
  if (w == None) return false;
  // Mapping shows a hidden window again and restores a minimised one.
  c.x().MapRaised(c.display(), w);
  RequestActivation(c, w, CurrentTime);
  return true;
}

bool ActivateWindowForUser(unsigned long window, std::uint32_t userTime) {
  Connection c;
  if (!c.ok() || window == 0) return false;
  RequestActivation(c, static_cast<Window>(window), static_cast<Time>(userTime));
  return true;
}

std::uint32_t CurrentServerTime() {
  Connection c;
  if (!c.ok()) return 0;
  return static_cast<std::uint32_t>(ServerTime(c));
}

namespace {

// A value of the startup-notification protocol: as it is, or between
// quotation marks with '"' and '\' escaped by a backslash when it holds a blank, a quotation
// mark or a backslash.
std::string StartupValue(std::string_view value) {
  if (value.find_first_of(" \"\\") == std::string_view::npos) return std::string(value);
  std::string out = "\"";
  for (char ch : value) {
    if (ch == '"' || ch == '\\') out.push_back('\\');
    out.push_back(ch);
  }
  return out + "\"";
}

}  // namespace

bool CompleteStartupNotification(std::string_view startupId) {
  if (startupId.empty()) return false;
  Connection c;
  if (!c.ok()) return false;
  const XLib& x = c.x();
  Display* display = c.display();
  // The message travels in pieces of 20 bytes, the first as
  // _NET_STARTUP_INFO_BEGIN and the rest as _NET_STARTUP_INFO, ended by a
  // zero byte; every piece names a window of the sender.
  const std::string message = "remove: ID=" + StartupValue(startupId);
  const Window sender = x.CreateSimpleWindow(display, c.root(), -100, -100, 1, 1, 0, 0, 0);
  if (sender == None) return false;
  const Atom begin = x.InternAtom(display, "_NET_STARTUP_INFO_BEGIN", False);
  const Atom more = x.InternAtom(display, "_NET_STARTUP_INFO", False);
  constexpr std::size_t kPiece = 20;
  for (std::size_t at = 0; at <= message.size(); at += kPiece) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = sender;
    event.xclient.message_type = at == 0 ? begin : more;
    event.xclient.format = 8;
    // The rest of data.b stays zero: the end of the text and its padding.
    const std::size_t n = std::min(kPiece, message.size() - at);
    std::memcpy(event.xclient.data.b, message.data() + at, n);
    x.SendEvent(display, c.root(), False, PropertyChangeMask, &event);
  }
  x.DestroyWindow(display, sender);
  x.Sync(display, False);
  return true;
}

std::uint32_t StartupIdTime(std::string_view startupId) {
  const std::size_t at = startupId.rfind("_TIME");
  if (at == std::string_view::npos) return 0;
  std::uint64_t time = 0;
  std::string_view digits = startupId.substr(at + 5);
  if (digits.empty() || digits.size() > 10) return 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return 0;
    time = time * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  return time <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(time) : 0;
}

}  // namespace launcher
