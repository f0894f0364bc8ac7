#include "ui/win32/status_accessible.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "ui/dpi_scale.h"
#include "ui/window_layout.h"

namespace launcher::win32 {
namespace {

constexpr LONG kChildCount = 4;

// The child a VARIANT names: CHILDID_SELF, one of the four, or -1.
LONG ChildOf(const VARIANT& v) {
  if (v.vt != VT_I4 || v.lVal < CHILDID_SELF || v.lVal > kChildCount) return -1;
  return v.lVal;
}

VARIANT Int(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

const layout::Rect& ItemRect(LONG child) {
  static constexpr std::array<layout::Rect, kChildCount> kRects = {
      layout::kTotalBar, layout::kFileBar, layout::kStatusLine, layout::kDetailLine};
  return kRects[static_cast<std::size_t>(child - 1)];
}

bool IsBar(LONG child) {
  return child == StatusAccessible::kTotalBarChild || child == StatusAccessible::kFileBarChild;
}

// A line's text as DrawTextW shows it: an ampersand only marks the next
// character for underlining, and "&&" is one ampersand.
std::u16string VisibleText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'&') {
      if (++i == text.size()) break;
    }
    out.push_back(text[i]);
  }
  return out;
}

// The text a child is named by: a bar's is its line's.
const std::u16string& NameSource(const StatusState::Values& v, LONG child) {
  return child == StatusAccessible::kTotalBarChild || child == StatusAccessible::kStatusLineChild
             ? v.statusText
             : v.detailText;
}

int BarPercent(const StatusState::Values& v, LONG child) {
  return std::clamp(child == StatusAccessible::kTotalBarChild ? v.totalPercent : v.filePercent, 0,
                    100);
}

// S_FALSE and no string for an empty text, as MSAA asks for an absent one.
HRESULT ReturnText(std::u16string_view text, BSTR* out) {
  *out = nullptr;
  if (text.empty()) return S_FALSE;
  *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                           static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

StatusAccessible* StatusAccessible::Create(HWND hwnd, Source source) {
  IAccessible* standard = nullptr;
  if (FAILED(CreateStdAccessibleObject(hwnd, OBJID_CLIENT, __uuidof(IAccessible),
                                       reinterpret_cast<void**>(&standard)))) {
    return nullptr;
  }
  return new StatusAccessible(hwnd, std::move(source), standard);
}

StatusAccessible::StatusAccessible(HWND hwnd, Source source, IAccessible* standard)
    : hwnd_(hwnd), source_(std::move(source)), standard_(standard) {}

StatusAccessible::~StatusAccessible() {
  if (standard_ != nullptr) standard_->Release();
}

LRESULT StatusAccessible::Answer(WPARAM wParam) {
  return LresultFromObject(__uuidof(IAccessible), wParam, static_cast<IAccessible*>(this));
}

void StatusAccessible::Disconnect() {
  hwnd_ = nullptr;
  if (standard_ != nullptr) standard_->Release();
  standard_ = nullptr;
  // Proxies in other processes now get an error instead of reaching us.
  CoDisconnectObject(static_cast<IAccessible*>(this), 0);
}

void StatusAccessible::AnnounceChanges(HWND hwnd, const StatusState::Values& before,
                                       const StatusState::Values& after) {
  auto notify = [hwnd](DWORD event, LONG child) {
    NotifyWinEvent(event, hwnd, OBJID_CLIENT, child);
  };
  if (VisibleText(before.statusText) != VisibleText(after.statusText)) {
    notify(EVENT_OBJECT_NAMECHANGE, kStatusLineChild);
    notify(EVENT_OBJECT_NAMECHANGE, kTotalBarChild);
  }
  if (VisibleText(before.detailText) != VisibleText(after.detailText)) {
    notify(EVENT_OBJECT_NAMECHANGE, kDetailLineChild);
    notify(EVENT_OBJECT_NAMECHANGE, kFileBarChild);
  }
  for (const LONG bar : {kTotalBarChild, kFileBarChild}) {
    if (BarPercent(before, bar) != BarPercent(after, bar)) notify(EVENT_OBJECT_VALUECHANGE, bar);
  }
}

HRESULT StatusAccessible::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IDispatch) || riid == __uuidof(IAccessible)) {
    *object = static_cast<IAccessible*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG StatusAccessible::AddRef() { return ++references_; }

ULONG StatusAccessible::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT StatusAccessible::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT StatusAccessible::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT StatusAccessible::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}

HRESULT StatusAccessible::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                 UINT*) {
  return E_NOTIMPL;
}

HRESULT StatusAccessible::get_accParent(IDispatch** parent) {
  if (parent == nullptr) return E_POINTER;
  *parent = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  return standard_->get_accParent(parent);
}

HRESULT StatusAccessible::get_accChildCount(LONG* count) {
  if (count == nullptr) return E_POINTER;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  *count = kChildCount;
  return S_OK;
}

HRESULT StatusAccessible::get_accChild(VARIANT child, IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  // The children are simple elements of this object, not objects of their
  // own.
  return ChildOf(child) > 0 ? S_FALSE : E_INVALIDARG;
}

HRESULT StatusAccessible::get_accName(VARIANT child, BSTR* name) {
  if (name == nullptr) return E_POINTER;
  *name = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id == CHILDID_SELF) return standard_->get_accName(child, name);
  return ReturnText(VisibleText(NameSource(source_.values(), id)), name);
}

HRESULT StatusAccessible::get_accValue(VARIANT child, BSTR* value) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id == CHILDID_SELF) return standard_->get_accValue(child, value);
  if (!IsBar(id)) return DISP_E_MEMBERNOTFOUND;
  // As the system's own progress bars give it: "40%".
  std::u16string text;
  for (const char c : std::to_string(BarPercent(source_.values(), id)) + "%") {
    text.push_back(static_cast<char16_t>(c));  // digits and "%"
  }
  return ReturnText(text, value);
}

HRESULT StatusAccessible::get_accDescription(VARIANT child, BSTR* description) {
  if (description == nullptr) return E_POINTER;
  *description = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  return id == CHILDID_SELF ? standard_->get_accDescription(child, description) : S_FALSE;
}

HRESULT StatusAccessible::get_accRole(VARIANT child, VARIANT* role) {
  if (role == nullptr) return E_POINTER;
  VariantInit(role);
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id == CHILDID_SELF) return standard_->get_accRole(child, role);
  *role = Int(IsBar(id) ? ROLE_SYSTEM_PROGRESSBAR : ROLE_SYSTEM_STATICTEXT);
  return S_OK;
}

HRESULT StatusAccessible::get_accState(VARIANT child, VARIANT* state) {
  if (state == nullptr) return E_POINTER;
  VariantInit(state);
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id == CHILDID_SELF) return standard_->get_accState(child, state);
  LONG flags = STATE_SYSTEM_READONLY;
  // Hidden for the hand-off to the patcher: nothing to read there.
  if (IsWindowVisible(hwnd_) == 0) flags |= STATE_SYSTEM_INVISIBLE;
  *state = Int(flags);
  return S_OK;
}

HRESULT StatusAccessible::get_accHelp(VARIANT child, BSTR* help) {
  if (help == nullptr) return E_POINTER;
  *help = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  return ChildOf(child) < 0 ? E_INVALIDARG : S_FALSE;
}

HRESULT StatusAccessible::get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) {
  if (file == nullptr || topic == nullptr) return E_POINTER;
  *file = nullptr;
  *topic = 0;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  return ChildOf(child) < 0 ? E_INVALIDARG : S_FALSE;
}

HRESULT StatusAccessible::get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) {
  if (shortcut == nullptr) return E_POINTER;
  *shortcut = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  return id == CHILDID_SELF ? standard_->get_accKeyboardShortcut(child, shortcut) : S_FALSE;
}

HRESULT StatusAccessible::get_accFocus(VARIANT* focus) {
  if (focus == nullptr) return E_POINTER;
  VariantInit(focus);
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  return standard_->get_accFocus(focus);
}

HRESULT StatusAccessible::get_accSelection(VARIANT* selection) {
  if (selection == nullptr) return E_POINTER;
  VariantInit(selection);
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  return standard_->get_accSelection(selection);
}

HRESULT StatusAccessible::get_accDefaultAction(VARIANT child, BSTR* action) {
  if (action == nullptr) return E_POINTER;
  *action = nullptr;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  return id == CHILDID_SELF ? standard_->get_accDefaultAction(child, action) : S_FALSE;
}

HRESULT StatusAccessible::accSelect(LONG flags, VARIANT child) {
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  return id == CHILDID_SELF ? standard_->accSelect(flags, child) : DISP_E_MEMBERNOTFOUND;
}

HRESULT StatusAccessible::accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                      VARIANT child) {
  if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  if (id == CHILDID_SELF) return standard_->accLocation(left, top, width, height, child);
  const layout::Rect r = ScaleRect(ItemRect(id), source_.dpi());
  POINT origin{r.left, r.top};
  ClientToScreen(hwnd_, &origin);
  *left = origin.x;
  *top = origin.y;
  *width = r.width();
  *height = r.height();
  return S_OK;
}

HRESULT StatusAccessible::accNavigate(LONG direction, VARIANT start, VARIANT* end) {
  if (end == nullptr) return E_POINTER;
  VariantInit(end);
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(start);
  if (id < 0) return E_INVALIDARG;
  if (id == CHILDID_SELF) {
    if (direction == NAVDIR_FIRSTCHILD || direction == NAVDIR_LASTCHILD) {
      *end = Int(direction == NAVDIR_FIRSTCHILD ? 1 : kChildCount);
      return S_OK;
    }
    return standard_->accNavigate(direction, start, end);
  }
  LONG to = 0;
  switch (direction) {
    case NAVDIR_NEXT:
    case NAVDIR_DOWN:
      to = id + 1;
      break;
    case NAVDIR_PREVIOUS:
    case NAVDIR_UP:
      to = id - 1;
      break;
    case NAVDIR_LEFT:
    case NAVDIR_RIGHT:
      return S_FALSE;
    default:
      return E_INVALIDARG;  // simple elements have no children
  }
  if (to < 1 || to > kChildCount) return S_FALSE;
  *end = Int(to);
  return S_OK;
}

HRESULT StatusAccessible::accHitTest(LONG x, LONG y, VARIANT* child) {
  if (child == nullptr) return E_POINTER;
  VariantInit(child);
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  POINT at{x, y};
  ScreenToClient(hwnd_, &at);
  const int dpi = source_.dpi();
  for (LONG id = 1; id <= kChildCount; ++id) {
    if (ScaleRect(ItemRect(id), dpi).Contains(at.x, at.y)) {
      *child = Int(id);
      return S_OK;
    }
  }
  return standard_->accHitTest(x, y, child);
}

HRESULT StatusAccessible::accDoDefaultAction(VARIANT child) {
  if (hwnd_ == nullptr) return CO_E_OBJNOTCONNECTED;
  const LONG id = ChildOf(child);
  if (id < 0) return E_INVALIDARG;
  return id == CHILDID_SELF ? standard_->accDoDefaultAction(child) : DISP_E_MEMBERNOTFOUND;
}

HRESULT StatusAccessible::put_accName(VARIANT, BSTR) { return E_NOTIMPL; }

HRESULT StatusAccessible::put_accValue(VARIANT, BSTR) { return E_NOTIMPL; }

}  // namespace launcher::win32
