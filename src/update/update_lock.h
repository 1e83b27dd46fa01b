// The lock that a file update holds from the read of the file to the end of
// its write-back, and the repair of what an interrupted update left there.
#ifndef TOVUPDTR_UPDATE_UPDATE_LOCK_H_
#define TOVUPDTR_UPDATE_UPDATE_LOCK_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace tov::update {

class UpdateLock {
 public:
  // Takes the lock of the file at `path` (its links resolved), waiting as
  // long as the caller set.  A lock left by an updater that has ended on
  // this machine is removed (with the new text it may hold), and a file
  // left half rewritten is given its old text back from its journal, each
  // with a warning carrying `code`.  False when the file must not be
  // updated (another updater holds it all along, or its journal cannot be
  // used), after reporting why.  Where no lock can be made at all, true:
  // the file may be read, and MayWrite() refuses the write.
  bool Take(int code, const std::string &path);
  // Whether the file may be written now: false, after reporting why, when
  // its lock is not held.
  bool MayWrite(int code, const char *path) const;
  bool taken() const { return lock_.taken(); }
  // The lock, for the write-back to put its file in the file's place.
  platform::FileLock *file_lock() { return &lock_; }
  // Another updater's lock was met on the way: what was looked at before
  // Take() may have changed.
  bool met_another() const { return met_another_; }

 private:
  platform::FileLock lock_;
  int error_ = 0;
  bool met_another_ = false;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_UPDATE_LOCK_H_
