// What Windows reads from launcher.exe and launcher-publish.exe: the
// embedded manifest, parsed into an activation context by the system's own
// loader code (a manifest it cannot parse keeps the program from starting;
// a setting in the wrong namespace is silently ignored), the version
// information Explorer and Task Manager show, and the icon.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace launcher::testing {
namespace {

std::wstring Wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

std::wstring Setting(HANDLE context, const wchar_t* year, const wchar_t* name) {
  const std::wstring ns =
      std::wstring(L"http://schemas.microsoft.com/SMI/") + year + L"/WindowsSettings";
  wchar_t value[128] = {};
  SIZE_T written = 0;
  return QueryActCtxSettingsW(0, context, ns.c_str(), name, value, 128, &written) ? value
                                                                                  : L"<none>";
}

// The answer to CompatibilityInformationInActivationContext as Windows 10
// 1903 and later (and Wine) give it, each element ending with the highest
// version tested; mingw-w64's headers have the older, shorter element.
struct CompatibilityInformation {
  DWORD count;
  struct {
    GUID id;
    ACTCTX_COMPATIBILITY_ELEMENT_TYPE type;
    ULONGLONG maxVersionTested;
  } elements[16];
};

class ProgramResourcesTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramResourcesTest, ManifestVersionAndIconAreWhatWindowsReads) {
  // The build tree's program by its Linux path, as Wine sees it (drive Z:).
  const std::wstring path = L"Z:" + Wide(GetParam());
  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);  // the manifest a process starts with
  HANDLE context = CreateActCtxW(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << "the manifest does not parse: " << GetLastError();
  EXPECT_EQ(Setting(context, L"2016", L"dpiAwareness"), L"PerMonitorV2, PerMonitor");
  EXPECT_EQ(Setting(context, L"2005", L"dpiAware"), L"true/pm");
  EXPECT_EQ(Setting(context, L"2016", L"longPathAware"), L"true");
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel{};
  ASSERT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &runLevel,
                           sizeof(runLevel), nullptr));
  EXPECT_EQ(runLevel.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
  CompatibilityInformation compat{};
  ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                           &compat, sizeof(compat), nullptr));
  const GUID windows10{
      0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}};
  const GUID windows7{0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}};
  int systems = 0;
  for (DWORD i = 0; i < compat.count; ++i) {
    const GUID& id = compat.elements[i].id;
    if (IsEqualGUID(id, windows10) || IsEqualGUID(id, windows7)) ++systems;
  }
  EXPECT_EQ(systems, 2) << "Windows 7 and Windows 10 and 11 among the supported systems";
  ReleaseActCtx(context);

  DWORD ignored = 0;
  std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty()) << "no version information";
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  auto text = [&](const wchar_t* name) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    return VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)
               ? std::wstring(value)
               : L"<none>";
  };
  EXPECT_EQ(text(L"ProductName"), Wide(LAUNCHER_EXPECTED_PRODUCT));
  EXPECT_EQ(text(L"ProductVersion"), Wide(LAUNCHER_EXPECTED_VERSION));
  EXPECT_EQ(text(L"OriginalFilename"), path.substr(path.find_last_of(L"/\\") + 1));
  EXPECT_GE(ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0), 1u) << "no icon";
}

INSTANTIATE_TEST_SUITE_P(ShippedPrograms, ProgramResourcesTest,
                         ::testing::Values(LAUNCHER_EXE, LAUNCHER_PUBLISH_EXE));

}  // namespace
}  // namespace launcher::testing
