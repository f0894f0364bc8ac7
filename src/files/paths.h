// Every working file, directory and URL name of the update work.
//
// All names are relative to the launcher's own directory (the working
// directory). Directory names end with "/"; names are joined by plain
// concatenation. The four URL names form the URL family: they start from the
// built-in default base URL and are rebuilt once per run by
// SelectUpdateServer, on the worker thread, before anything is fetched.
#pragma once

#include <string>

namespace launcher {

// Fixed for the whole run.
extern const std::u16string UpdateCfgPath;        // ../config/patcher/update.cfg
extern const std::u16string PidFilePath;          // ../config/pid.sw
extern const std::u16string ErrorLogPath;         // ../config/patcher/fileerr.log
extern const std::u16string ErrorLogBackupPath;   // ../config/patcher/fileerr.001
extern const std::u16string TempFilePath;         // ../config/patcher/tempfile.dat
extern const std::u16string PatcherExeName;       // patcher.exe
extern const std::u16string PatcherCfgPath;       // ../config/patcher/patcher.cfg
extern const std::u16string VersionFilePath;      // ../config/patcher/version.sw
extern const std::u16string NewVersionFilePath;   // ../config/patcher/newver.sw
extern const std::u16string IncStateFilePath;     // ../config/patcher/inc.sw
extern const std::u16string UpdateStateFilePath;  // ../config/patcher/ustate.sw
extern const std::u16string FullListFilePath;     // ../config/patcher/FullList.sw
extern const std::u16string ListVersionFilePath;  // ../config/patcher/Listver.sw
extern const std::u16string VerifiedFilesPath;    // ../config/patcher/verified.sw
extern const std::u16string StatementFilePath;    // ../config/patcher/statement.sw
extern const std::u16string ManifestFilePath;     // ../config/patcher/manifest.sw
extern const std::u16string TrustedVersionPath;   // ../config/patcher/trusted.sw
extern const std::u16string DeltaIndexFilePath;   // ../config/patcher/delta.sw
extern const std::u16string TempFileKindPath;     // ../config/patcher/tempfile.sw
extern const std::u16string TempDirPath;          // ../config/patcher/temp/
extern const std::u16string CheckDirPath;         // ../config/patcher/Check/
extern const std::u16string PatcherDirPath;       // ../patcher/
extern const std::u16string UpdateLogPrefix;      // ../config/patcher/update.
extern const std::u16string UpdateLogPath;        // UpdateLogPrefix + "log"
extern const std::u16string PidIniPath;           // ../patcher/server/pid.ini
extern const std::u16string ServerListPath;       // ../patcher/server/updateserver.txt
extern const std::u16string StringTablePath;      // stringtab.txt
extern const std::u16string SkinPath;             // launcher.bmp

// The built-in default base URL, set when the program is configured.
extern const std::u16string DefaultServerBaseUrl;

// The URL family. Written only by SelectUpdateServer / ResetServerUrls.
extern std::u16string ServerBaseUrl;
extern std::u16string PidUrl;         // ServerBaseUrl + "info/pid"
extern std::u16string PatchUrl;       // ServerBaseUrl + "patcher/"
extern std::u16string PatchFilesUrl;  // PatchUrl + "patcher/"

// Rebuilds the URL family from `base` (verbatim; no separator is inserted).
void SetServerBaseUrl(const std::u16string& base);

// Name of update-log generation n (1..6): UpdateLogPrefix + "%03d".
std::u16string UpdateLogGenerationPath(int n);

}  // namespace launcher
