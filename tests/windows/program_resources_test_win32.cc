// What Windows reads from launcher.exe and launcher-publish.exe before and
// while running them: the embedded manifest, parsed into an activation
// context by the system's own loader code (a manifest it cannot parse stops
// the program from starting at all), the version information Explorer and
// Task Manager show, and the icon.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace launcher::testing {
namespace {

// The build tree's programs by their Linux paths, as Wine sees them (the
// root of the Linux file system is drive Z:).
std::wstring Program(const char* linuxPath) {
  return L"Z:" + std::wstring(linuxPath, linuxPath + std::char_traits<char>::length(linuxPath));
}

std::wstring Widen(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::wstring Setting(HANDLE context, const wchar_t* ns, const wchar_t* name) {
  wchar_t value[128] = {};
  SIZE_T written = 0;
  if (!QueryActCtxSettingsW(0, context, ns, name, value, 128, &written)) return L"<none>";
  return value;
}

// The answer to CompatibilityInformationInActivationContext as Windows 10
// 1903 and later (and Wine) give it: each element ends with the highest
// version tested, a 64-bit number. mingw-w64's headers have the older,
// shorter element.
struct CompatibilityElement {
  GUID id;
  ACTCTX_COMPATIBILITY_ELEMENT_TYPE type;
  ULONGLONG maxVersionTested;
};
struct CompatibilityInformation {
  DWORD count;
  CompatibilityElement elements[16];
};

bool SameGuid(const GUID& a, const GUID& b) { return IsEqualGUID(a, b) != 0; }

class ProgramResourcesTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramResourcesTest, ManifestVersionAndIconAreWhatWindowsReads) {
  const std::wstring path = Program(GetParam());
  SCOPED_TRACE(std::string(GetParam()));

  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);  // the manifest a process starts with
  HANDLE context = CreateActCtxW(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << "the manifest does not parse: " << GetLastError();

  const wchar_t* k2005 = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
  const wchar_t* k2016 = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
  EXPECT_EQ(Setting(context, k2016, L"dpiAwareness"), L"PerMonitorV2, PerMonitor");
  EXPECT_EQ(Setting(context, k2005, L"dpiAware"), L"true/pm");
  EXPECT_EQ(Setting(context, k2016, L"longPathAware"), L"true");

  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel{};
  ASSERT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &runLevel,
                           sizeof(runLevel), nullptr));
  EXPECT_EQ(runLevel.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
  EXPECT_EQ(runLevel.UiAccess, 0u);

  std::vector<BYTE> buffer(sizeof(CompatibilityInformation));
  ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                           buffer.data(), buffer.size(), nullptr));
  const auto* compat = reinterpret_cast<const CompatibilityInformation*>(buffer.data());
  const GUID windows10{
      0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}};
  const GUID windows7{0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}};
  bool has10 = false;
  bool has7 = false;
  for (DWORD i = 0; i < compat->count; ++i) {
    if (compat->elements[i].type != ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS) continue;
    has10 = has10 || SameGuid(compat->elements[i].id, windows10);
    has7 = has7 || SameGuid(compat->elements[i].id, windows7);
  }
  EXPECT_TRUE(has10) << "Windows 10 and 11 are supported systems";
  EXPECT_TRUE(has7);
  ReleaseActCtx(context);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version information";
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  auto text = [&](const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
      return std::wstring(L"<none>");
    }
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"ProductName"), Widen(LAUNCHER_EXPECTED_PRODUCT));
  EXPECT_EQ(text(L"ProductVersion"), Widen(LAUNCHER_EXPECTED_VERSION));
  EXPECT_EQ(text(L"FileVersion"), Widen(LAUNCHER_EXPECTED_VERSION));
  const std::wstring file = path.substr(path.find_last_of(L"/\\") + 1);
  EXPECT_EQ(text(L"OriginalFilename"), file);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, LAUNCHER_EXPECTED_VERSION_MS);
  EXPECT_EQ(fixed->dwFileVersionLS, LAUNCHER_EXPECTED_VERSION_LS);

  EXPECT_GE(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), 1u) << "no icon";
}

INSTANTIATE_TEST_SUITE_P(ShippedPrograms, ProgramResourcesTest,
                         ::testing::Values(LAUNCHER_EXE, LAUNCHER_PUBLISH_EXE));

}  // namespace
}  // namespace launcher::testing
