#include "files/paths.h"

#include "files/utf16.h"

#ifndef LAUNCHER_DEFAULT_SERVER_URL
#error "LAUNCHER_DEFAULT_SERVER_URL must be set by the build"
#endif

namespace launcher {

const std::u16string UpdateCfgPath = u"../config/patcher/update.cfg";
const std::u16string PidFilePath = u"../config/pid.sw";
const std::u16string ErrorLogPath = u"../config/patcher/fileerr.log";
const std::u16string ErrorLogBackupPath = u"../config/patcher/fileerr.001";
const std::u16string TempFilePath = u"../config/patcher/tempfile.dat";
const std::u16string PatcherExeName = u"patcher.exe";
const std::u16string PatcherCfgPath = u"../config/patcher/patcher.cfg";
const std::u16string VersionFilePath = u"../config/patcher/version.sw";
const std::u16string NewVersionFilePath = u"../config/patcher/newver.sw";
const std::u16string IncStateFilePath = u"../config/patcher/inc.sw";
const std::u16string UpdateStateFilePath = u"../config/patcher/ustate.sw";
const std::u16string FullListFilePath = u"../config/patcher/FullList.sw";
const std::u16string ListVersionFilePath = u"../config/patcher/Listver.sw";
const std::u16string VerifiedFilesPath = u"../config/patcher/verified.sw";
const std::u16string StatementFilePath = u"../config/patcher/statement.sw";
const std::u16string ManifestFilePath = u"../config/patcher/manifest.sw";
const std::u16string TrustedVersionPath = u"../config/patcher/trusted.sw";
const std::u16string DeltaIndexFilePath = u"../config/patcher/delta.sw";
const std::u16string TempFileKindPath = u"../config/patcher/tempfile.sw";
const std::u16string TempDirPath = u"../config/patcher/temp/";
const std::u16string CheckDirPath = u"../config/patcher/Check/";
const std::u16string PatcherDirPath = u"../patcher/";
const std::u16string UpdateLogPrefix = u"../config/patcher/update.";
const std::u16string UpdateLogPath = UpdateLogPrefix + u"log";
const std::u16string PidIniPath = u"../patcher/server/pid.ini";
const std::u16string ServerListPath = u"../patcher/server/updateserver.txt";
const std::u16string StringTablePath = u"stringtab.txt";
const std::u16string SkinPath = u"launcher.bmp";

const std::u16string DefaultServerBaseUrl = Widen(LAUNCHER_DEFAULT_SERVER_URL);

// Built in the order base, PidUrl, PatchUrl, PatchFilesUrl so that each
// derived name sees its base (all in this one translation unit).
std::u16string ServerBaseUrl = DefaultServerBaseUrl;
std::u16string PidUrl = ServerBaseUrl + u"info/pid";
std::u16string PatchUrl = ServerBaseUrl + u"patcher/";
std::u16string PatchFilesUrl = PatchUrl + u"patcher/";

void SetServerBaseUrl(const std::u16string& base) {
  ServerBaseUrl = base;
  PidUrl = ServerBaseUrl + u"info/pid";
  PatchUrl = ServerBaseUrl + u"patcher/";
  PatchFilesUrl = PatchUrl + u"patcher/";
}

std::u16string UpdateLogGenerationPath(int n) {
  char16_t digits[3] = {static_cast<char16_t>(u'0' + (n / 100) % 10),
                        static_cast<char16_t>(u'0' + (n / 10) % 10),
                        static_cast<char16_t>(u'0' + n % 10)};
  return UpdateLogPrefix + std::u16string(digits, 3);
}

}  // namespace launcher
