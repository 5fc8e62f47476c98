# Feature checks for the operating-system layer; results land in a generated header.
include(CheckSymbolExists)
include(CheckCXXSourceCompiles)

if(NOT WIN32)
check_cxx_source_compiles("
#include <fcntl.h>
#include <stdio.h>
int main() { return renameat2(AT_FDCWD, \"a\", AT_FDCWD, \"b\", RENAME_NOREPLACE); }"
  HAVE_RENAMEAT2)
check_cxx_source_compiles("
#include <fcntl.h>
#include <sys/stat.h>
int main() { struct statx s; return statx(AT_FDCWD, \".\", 0, STATX_BTIME, &s); }"
  HAVE_STATX)
check_cxx_source_compiles("
#include <pthread.h>
int main() { pthread_mutexattr_t a; pthread_mutexattr_init(&a);
  return pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST); }"
  HAVE_ROBUST_MUTEX)
# A folder's entries read straight into a buffer of ours (glibc 2.30).
check_cxx_source_compiles("
#include <dirent.h>
int main() { char b[1024]; return static_cast<int>(getdents64(0, b, sizeof b)); }"
  HAVE_GETDENTS64)
# Resolution beneath a folder's descriptor (Linux 5.6). The headers may know it while the
# running kernel does not: the file layer then falls back to a component walk.
check_cxx_source_compiles("
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>
int main() { struct open_how how = {}; how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, AT_FDCWD, \".\", &how, sizeof how)); }"
  HAVE_OPENAT2)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/XelConfig.h.in
               ${CMAKE_BINARY_DIR}/generated/XelConfig.h)
