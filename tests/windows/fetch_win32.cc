// launcher-fetch.exe URL TARGET [CAFILE]: one transfer through the engine's
// Downloader with its production options (CAFILE: Options::caFile), for
// tests that drive the network path of the Windows build from outside (the
// system proxy, https under Wine).
// Prints "state <state> detail <errorDetail> offset <offset>"; exits 0 when
// the transfer ended in state 3 (done).
#include <cstdio>
#include <string>

#include "files/utf16.h"
#include "net/downloader.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: launcher-fetch URL TARGET [CAFILE]\n");
    return 2;
  }
  launcher::Downloader::Options options;
  if (argc == 4) options.caFile = argv[3];
  launcher::Downloader downloader(options);
  launcher::Transfer last;
  downloader.Download(
      launcher::FromUtf8Lossy(argv[1]), launcher::FromUtf8Lossy(argv[2]),
      [&](int event, const launcher::Transfer& transfer) {
        if (event == launcher::DOWNLOAD_DONE || event == launcher::DOWNLOAD_FAILED) last = transfer;
        return 0;
      },
      0);
  std::printf("state %d detail %lld offset %lld\n", last.state,
              static_cast<long long>(last.errorDetail), static_cast<long long>(last.offset));
  return last.state == launcher::TRANSFER_DONE ? 0 : 1;
}
