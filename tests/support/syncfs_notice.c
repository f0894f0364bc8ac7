/* Preloaded (LD_PRELOAD) into a program that the power-cut tests run on
 * support/power_cut_fs.h's file system. syncfs never reaches a FUSE file
 * system, so after each successful syncfs this reads the extended
 * attribute "user.power-cut.syncfs" of the same file: the test file system
 * takes that read as the syncfs and makes everything durable. The program
 * itself sees syncfs as it was. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/xattr.h>
#include <unistd.h>

int syncfs(int fd) {
  int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
  const int result = next != NULL ? next(fd) : -1;
  if (result == 0) fgetxattr(fd, "user.power-cut.syncfs", NULL, 0);
  return result;
}
