// The updater the program starts beside itself when a newer version is
// published (or from the toolbar). This one shows what it was told and what
// it would fetch; installing a new version is left to a real installer.
//   update PROGRAM-NAME INSTALLED-VERSION VERSION-FILE-ADDRESS PROGRAM-PATH
#include <cstdio>

int main(int argc, char** argv) {
  std::printf("update: started with %d argument(s)\n", argc - 1);
  for (int i = 1; i < argc; ++i) std::printf("  argument %d: %s\n", i, argv[i]);
  if (argc != 5) {
    std::fprintf(stderr, "usage: update PROGRAM-NAME INSTALLED-VERSION VERSION-FILE-ADDRESS PROGRAM-PATH\n");
    return 2;
  }
  std::printf("update: %s %s is installed at %s\n", argv[1], argv[2], argv[4]);
  std::printf("update: would fetch the version file %s, read [MP3] VERSION,\n", argv[3]);
  std::printf("        and, when it is newer than %s, fetch and install the new %s\n", argv[2], argv[1]);
  std::printf("update: nothing was changed\n");
  return 0;
}
