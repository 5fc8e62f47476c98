// The chain of confinements a thread is in; the systems' own parts are in posix/ and win32/.
#include "osal/File.h"

namespace velmora::osal {

namespace {
thread_local const FileConfinement* t_pConfinement = nullptr;
}  // namespace

const FileConfinement* FileConfinement::Current() { return t_pConfinement; }

void FileConfinement::Enter() {
  M_pOuter = t_pConfinement;
  t_pConfinement = this;
}

void FileConfinement::Leave() {
  if (t_pConfinement == this) {
    t_pConfinement = M_pOuter;
    return;
  }
  // Ended before one started after it (its owner kept it on): the later one stays in force
  // and from now on leads to the confinement this one was inside.
  for (const FileConfinement* p = t_pConfinement; p != nullptr; p = p->M_pOuter) {
    if (p->M_pOuter == this) {
      const_cast<FileConfinement*>(p)->M_pOuter = M_pOuter;
      return;
    }
  }
}

}  // namespace velmora::osal
