// Making a file writable before it is rewritten.
#ifndef TOVUPDTR_UPDATE_WRITABLE_H_
#define TOVUPDTR_UPDATE_WRITABLE_H_

namespace tov::update {

// 1 when `path` may be written, or does not exist and the directory that is
// to hold it exists and may be written (missing directories are created on
// the way); 0 otherwise.  An error other than "permission denied" or "no such
// file" is reported as "path: reason".  The file itself is never created.
int tovCheckWritable(const char *path);

// 1 when the directory that holds `path` exists and may be written, after
// creating it (and its missing parents) or adding owner-write to it; 0
// otherwise, leaving whatever directories were already created.
int tovMkParentDirs(const char *path);

// tovMkWritable: 1 when `path` may be written once this returns, after
// creating the missing directories on its way, checking the file out of
// design management, or adding owner-write to a file that is not managed;
// 0 otherwise (also for a NULL or empty path).
int MkWritable(const char *path);

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_WRITABLE_H_
